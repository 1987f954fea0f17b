"""The native module (`tarnix_xray._tarnix_xray`)."""

from typing import final

__version__: str
__all__ = ["__version__", "Xray"]

@final
class Xray:
    """An xray instance driven by JSON commands.

    `unsendable`: a handle owns a mutable dataset and spec, so it is bound to the
    thread that created it.
    """

    def __new__(cls, spec_json: str) -> "Xray":
        """Build an instance from a JSON spec ("" or "{}" for none).

        Raises TypeError for a bad call or a non-str argument, ValueError for a
        spec that fails decoding ("parse: ...") or validation ("bad spec: ...").
        """
    def command(self, cmd_json: str) -> str:
        """Apply a command JSON and return the resulting response JSON.

        Faults inside the command come back as {"ok":false,"error":"..."}.
        Raises TypeError for a bad call or a non-str argument, and RuntimeError
        on a thread other than the creating one or on re-entry.
        """
    @staticmethod
    def version() -> str:
        """The library version."""
