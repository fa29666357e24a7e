"""A tour of corvalink: the module, and the serial ports of this machine."""

import corvalink
from corvalink.tools import list_ports


def main():
    print(f"corvalink {corvalink.__version__}")
    print(f"  standard rates: {len(corvalink.Baudrate)} ({corvalink.Baudrate.B50:d} .. {corvalink.Baudrate.B4000000:d})")

    print("\nSerial ports on this machine:")
    comports = getattr(list_ports, "comports", None)
    ports = sorted(comports()) if comports else []
    for info in ports:
        print(f"  {info.device}: {info.description} [{info.hwid}]")
    if not ports:
        print("  (none found)")


if __name__ == "__main__":
    main()
