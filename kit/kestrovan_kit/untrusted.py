"""The one boundary between the kit and the files it is handed. An image, a signature, a
certificate, a jar or a trust file may be damaged anywhere, and the parsers that read them
(pefile, asn1crypto, cryptography, zipfile) then fail with errors of many kinds that share no
base class. Whatever reads such a file does so within `parsing()`, where every failure becomes a
`Fault`: a finding or a refusal in the tool's report, never a traceback and never a pass."""
import contextlib

from .command_line import Refusal, one_line


class Fault(Refusal):
    """What is wrong with an untrusted file, in words for the report: a failed finding, or,
    where a tool has no report to put it in, its one line and status 1."""


@contextlib.contextmanager
def parsing(what):
    """Within it, any failure to parse becomes a Fault: '`what` cannot be read (the reason)'.
    A Fault, or any other Refusal, raised on purpose passes as it is."""
    try:
        yield
    except Refusal:
        raise
    # RecursionError and MemoryError included: a deep or huge structure is damage too.
    except Exception as error:
        reason = one_line(str(error).strip().splitlines()[0]) if str(error).strip() else \
            type(error).__name__
        raise Fault(f"{what} cannot be read ({reason})") from None
