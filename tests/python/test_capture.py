"""The capture helpers of the package: replacing a file whole or not at all."""

import os

import pytest

from quennel.capture import replace_file
from quennel.errors import CaptureError, QuennelError, SceneError, UsageError


def test_replace_file_leaves_the_old_text_when_the_new_one_cannot_be_written(tmp_path):
    target = tmp_path / "capture.sigmf-meta"
    target.write_text("old")
    replace_file(str(target), "new")
    assert target.read_text() == "new"
    with pytest.raises(UnicodeEncodeError):
        replace_file(str(target), "half written \udc80")  # fails after the first characters
    assert target.read_text() == "new" and os.listdir(tmp_path) == ["capture.sigmf-meta"]


@pytest.mark.parametrize("error, also", [(UsageError, ValueError), (SceneError, ValueError),
                                         (CaptureError, OSError)])
def test_errors_are_quennel_errors_and_what_callers_already_catch(error, also):
    raised = error("one line")
    assert isinstance(raised, QuennelError) and isinstance(raised, also) and str(raised) == "one line"
