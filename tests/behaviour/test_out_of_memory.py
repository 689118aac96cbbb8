"""What a user sees when memory runs out while the launcher plans the start: the language's
default termination, and no child."""
import os

# The default terminate handler's message, on the text-mode standard error of the runtime.
TERMINATION_MESSAGE = (b"terminate called after throwing an instance of 'std::bad_alloc'\r\n"
                       b"  what():  std::bad_alloc\r\n")
# The status with which the runtime's abort() ends the process.
ABNORMAL_EXIT_STATUS = 3


def test_ends_through_the_default_termination_without_starting_anything(make_installation):
    installation = make_installation(launcher=os.environ["KESTROVAN_OUT_OF_MEMORY_LAUNCHER"])
    run = installation.run()
    assert run.stderr == TERMINATION_MESSAGE
    assert run.status == ABNORMAL_EXIT_STATUS
    assert run.stdout == b""
    assert run.record == {}, "the runtime was started"
