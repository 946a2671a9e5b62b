"""cy_set_logging_config: its argument, the severity names, and the records the engine writes
afterwards (checked in fresh interpreters, since the logging configuration is process-wide)."""

import re

import pytest

from meshvolt import ohmweave
from module_support import module_entries, run_python

ENTRY = ["meshvolt.ohmweave.cy_set_logging_config"]
SEVERITIES = ["trace", "debug", "info", "warning", "error", "critical", "off"]


class Text(str):
    pass


@pytest.mark.parametrize("value, found", [
    (b"info", "bytes"), (None, "NoneType"), (Text("info"), "Text"), (2, "int"),
])
def test_severity_must_be_exactly_a_str(value, found):
    with pytest.raises(TypeError) as caught:
        ohmweave.cy_set_logging_config(value)
    assert str(caught.value) == (f"Argument 'severity' has incorrect type (expected str, got "
                                 f"{found})")
    assert module_entries(caught.value) == ENTRY


@pytest.mark.parametrize("call, message", [
    (lambda: ohmweave.cy_set_logging_config(),
     "cy_set_logging_config() takes exactly 1 positional argument (0 given)"),
    (lambda: ohmweave.cy_set_logging_config("info", "debug"),
     "cy_set_logging_config() takes exactly 1 positional argument (2 given)"),
    (lambda: ohmweave.cy_set_logging_config(level="info"),
     "cy_set_logging_config() got an unexpected keyword argument 'level'"),
])
def test_arguments_are_bound_like_every_function(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    assert module_entries(caught.value) == ENTRY


@pytest.mark.parametrize("name", ["warn", "Warning", "err", "", "debug "])
def test_unknown_severity_names(name):
    with pytest.raises(RuntimeError) as caught:
        ohmweave.cy_set_logging_config(name)
    assert str(caught.value) == f"Unknown severity string {name}."
    assert module_entries(caught.value) == ENTRY


def test_names_are_compared_whole():
    # The message ends at the zero byte (it travels as a C string); the name is still refused.
    with pytest.raises(RuntimeError, match="^Unknown severity string info"):
        ohmweave.cy_set_logging_config("info\0")


def test_a_string_that_utf8_cannot_encode():
    with pytest.raises(UnicodeEncodeError) as caught:
        ohmweave.cy_set_logging_config("\udc80")
    assert module_entries(caught.value) == ["meshvolt.ohmweave.cy_set_logging_config",
                                            "meshvolt.ohmweave.string_from_python"]


def test_every_severity_name_is_accepted_twice():
    done = run_python(f"""
        import meshvolt.ohmweave as ohmweave
        for name in {SEVERITIES!r}:
            assert ohmweave.cy_set_logging_config(name) is None
            assert ohmweave.cy_set_logging_config(severity=name) is None
        print("done")
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "done\n"


# A solver's creation writes the tape's debug records.
SOLVER_CREATION = """
    import numpy as np
    import meshvolt.ohmweave as ohmweave
    {configure}
    source = ohmweave.CyVoltageSource(2, np.array([230.0 + 0j]))
    reference = ohmweave.CyPotentialRef()
    reference.connect(source, [(0, 1)])
    network = ohmweave.CyElectricalNetwork(np.array([source, reference], dtype=object), 2)
    solver = ohmweave.CyNewton(network, True)
"""
LINE = r"\d\d/\d\d/\d\d \d\d:\d\d:\d\d {level} {message}"


def test_debug_records_carry_date_time_level_and_message():
    done = run_python(SOLVER_CREATION.format(configure='ohmweave.cy_set_logging_config("debug")'))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    patterns = [LINE.format(level="debug", message=re.escape("----- Tape evaluation -----")),
                LINE.format(level="debug", message=r"Number of tape operators: \d+"),
                LINE.format(level="debug", message=re.escape("----- Tape optimization -----")),
                LINE.format(level="debug", message=r"Number of tape operators: \d+")]
    assert len(lines) == len(patterns)
    for line, pattern in zip(lines, patterns):
        assert re.fullmatch(pattern, line), line


@pytest.mark.parametrize("configure", [
    "",  # level info until configured
    'ohmweave.cy_set_logging_config("info")',
    'ohmweave.cy_set_logging_config("off")',
    # An unknown name changes the pattern only: the level stays info.
    'import contextlib\nwith contextlib.suppress(RuntimeError): ohmweave.cy_set_logging_config("warn")',
])
def test_debug_records_are_dropped_above_debug(configure):
    # Keep every line of the configuration at the snippet's indentation.
    done = run_python(SOLVER_CREATION.format(configure=configure.replace("\n", "\n    ")))
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""
