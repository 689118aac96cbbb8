"""The signals that end a kit command (HUP, INT, QUIT, TERM, PIPE), each said as "interrupted"
with the command's own status, and the blocks they must not cut short: files put in place
together, which an interruption within them waits for."""
import contextlib
import signal

from .command_line import Refusal

INTERRUPTIONS = (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGPIPE)


class Interrupted(Refusal):
    """An interruption, said as such wherever it lands: a codec that it interrupts raises it
    again with the codec's own words added."""

    def __str__(self):
        return "interrupted"


def interrupted(signal_number, frame):
    raise Interrupted()


def take_over():
    """From now on an interruption raises Interrupted; called where the command's Refusals are
    caught, since one may come before this returns."""
    for signal_number in INTERRUPTIONS:
        signal.signal(signal_number, interrupted)


def ignore():
    """From now on an interruption comes too late to stop anything: it is ignored."""
    for signal_number in INTERRUPTIONS:
        signal.signal(signal_number, signal.SIG_IGN)


@contextlib.contextmanager
def uninterrupted():
    """Interruptions wait until the block has ended."""
    signal.pthread_sigmask(signal.SIG_BLOCK, INTERRUPTIONS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, INTERRUPTIONS)
