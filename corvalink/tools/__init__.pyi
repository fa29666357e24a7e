from . import list_ports as list_ports

__all__ = ["list_ports"]
