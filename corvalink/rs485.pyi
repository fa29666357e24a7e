"""RS-485 direction control for `SerialBase.rs485_mode`."""

from typing import Self, final

__all__ = ["RS485Settings"]

@final
class RS485Settings:
    """RS-485 direction control: the RTS level while sending and after it,
    whether the receiver stays on while sending, and the delays (seconds,
    applied in whole milliseconds) before sending and before releasing the
    line. Immutable; `copy.replace` gives a changed copy."""

    def __new__(
        cls,
        rts_level_for_tx: bool = True,
        rts_level_for_rx: bool = False,
        loopback: bool = False,
        delay_before_tx: float | None = None,
        delay_before_rx: float | None = None,
    ) -> Self: ...
    @property
    def rts_level_for_tx(self) -> bool: ...
    @property
    def rts_level_for_rx(self) -> bool: ...
    @property
    def loopback(self) -> bool: ...
    @property
    def delay_before_tx(self) -> float | None: ...
    @property
    def delay_before_rx(self) -> float | None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[type[Self], tuple[bool, bool, bool, float | None, float | None]]: ...
    def __replace__(
        self,
        /,
        *,
        rts_level_for_tx: bool = ...,
        rts_level_for_rx: bool = ...,
        loopback: bool = ...,
        delay_before_tx: float | None = ...,
        delay_before_rx: float | None = ...,
    ) -> Self: ...
