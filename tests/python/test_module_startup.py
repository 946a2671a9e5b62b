"""Import of meshvolt.ohmweave: its attributes, its types and their bases, repeated and refused
imports, and the NumPy checks of start-up."""

import importlib
import inspect
import re
import sys

import numpy as np
import pytest

from meshvolt import ohmweave
from module_support import run_python

# Every type of the module with its base, in the order of start-up.
TYPE_TABLE = [
    ("CyElement", "object"),
    ("CyBranch", "CyElement"),
    ("CySwitch", "CyBranch"),
    ("CyOpenSwitch", "CyBranch"),
    ("CySimplifiedLine", "CyBranch"),
    ("CyShuntLine", "CyBranch"),
    ("CyBus", "CyElement"),
    ("CyLoad", "CyElement"),
    ("CyPowerLoad", "CyLoad"),
    ("CyDeltaPowerLoad", "CyLoad"),
    ("CyAdmittanceLoad", "CyLoad"),
    ("CyDeltaAdmittanceLoad", "CyLoad"),
    ("CyCurrentLoad", "CyLoad"),
    ("CyDeltaCurrentLoad", "CyLoad"),
    ("CyLoadBalancer", "CyLoad"),
    ("CyControl", "object"),
    ("CyProjection", "object"),
    ("CyFlexibleParameter", "object"),
    ("CyFlexibleLoad", "CyLoad"),
    ("CyDeltaFlexibleLoad", "CyLoad"),
    ("CyGround", "CyElement"),
    ("CyPotentialRef", "CyElement"),
    ("CyDeltaPotentialRef", "CyElement"),
    ("CyVoltageSource", "CyElement"),
    ("CyDeltaVoltageSource", "CyElement"),
    ("CyTransformer", "CyBranch"),
    ("CyThreePhaseTransformer", "CyTransformer"),
    ("CySingleTransformer", "CyTransformer"),
    ("CyCenterTransformer", "CyTransformer"),
    ("CySingleVoltageRegulator", "CyBranch"),
    ("CyElectricalNetwork", "object"),
    ("CyAbstractSolver", "object"),
    ("CyAbstractNewton", "CyAbstractSolver"),
    ("CyNewton", "CyAbstractNewton"),
    ("CyNewtonGoldstein", "CyAbstractNewton"),
    ("CyBackwardForward", "CyAbstractSolver"),
]
BASES = dict(TYPE_TABLE)

def expected_mro(name):
    chain = []
    while name != "object":
        chain.append(getattr(ohmweave, name))
        name = BASES[name]
    return tuple(chain) + (object,)


def test_table_has_36_types_with_bases_listed_before_them():
    assert len(TYPE_TABLE) == 36
    seen = {"object"}
    for name, base in TYPE_TABLE:
        assert base in seen, name
        seen.add(name)


def test_module_attributes():
    assert ohmweave.np is np
    assert ohmweave.__name__ == "meshvolt.ohmweave"
    for name in BASES:
        assert isinstance(getattr(ohmweave, name), type), name
    # The table's types, `np`, the logging function and the standard attributes, nothing else.
    public = {name for name in dir(ohmweave) if not name.startswith("__")}
    assert public == set(BASES) | {"np", "cy_set_logging_config"}


@pytest.mark.parametrize("name", [name for name, _ in TYPE_TABLE])
def test_type_names_bases_and_mro(name):
    cls = getattr(ohmweave, name)
    base = object if BASES[name] == "object" else getattr(ohmweave, BASES[name])
    assert cls.__bases__ == (base,)
    assert cls.__mro__ == expected_mro(name)
    assert cls.__module__ == "meshvolt.ohmweave"
    assert cls.__name__ == cls.__qualname__ == name
    assert repr(cls) == f"<class 'meshvolt.ohmweave.{name}'>"
    assert cls.__doc__ is None


def test_documented_examples_of_bases():
    assert ohmweave.CyBus.__base__ is ohmweave.CyElement
    cy_newton = ohmweave.CyNewton
    assert [c.__name__ for c in cy_newton.__mro__] == [
        "CyNewton", "CyAbstractNewton", "CyAbstractSolver", "object"]


# Every method of the element types: its docstring is its signature line with declared kinds.
METHOD_DOCS = [
    ("CyElement", "connect", "CyElement.connect(self, CyElement cy_element, connections)"),
    ("CyElement", "connect_ports", "CyElement.connect_ports(self, int[::1] ports)"),
    ("CyElement", "disconnect", "CyElement.disconnect(self)"),
    ("CyElement", "get_potentials", "CyElement.get_potentials(self, int n)"),
    ("CyElement", "get_currents", "CyElement.get_currents(self, int n)"),
    ("CyElement", "get_port_potential", "CyElement.get_port_potential(self, int index)"),
    ("CyElement", "get_port_current", "CyElement.get_port_current(self, int index)"),
    ("CyBranch", "connect_side",
     "CyBranch.connect_side(self, CyElement element, connections, bool beginning)"),
    ("CyBranch", "get_side_potentials", "CyBranch.get_side_potentials(self, int n1, int n2)"),
    ("CyBranch", "get_side_currents", "CyBranch.get_side_currents(self, int n1, int n2)"),
    ("CyBus", "initialize_potentials",
     "CyBus.initialize_potentials(self, double complex[::1] potentials)"),
    ("CyPotentialRef", "get_current", "CyPotentialRef.get_current(self)"),
    ("CyDeltaPotentialRef", "get_current", "CyDeltaPotentialRef.get_current(self)"),
    ("CyVoltageSource", "update_voltages",
     "CyVoltageSource.update_voltages(self, double complex[::1] voltages)"),
    ("CyVoltageSource", "update_voltage",
     "CyVoltageSource.update_voltage(self, double complex voltage)"),
    ("CyDeltaVoltageSource", "update_voltages",
     "CyDeltaVoltageSource.update_voltages(self, double complex[::1] voltages)"),
    ("CyTransformer", "update_transformer_parameters",
     "CyTransformer.update_transformer_parameters(self, double complex z2, double complex ym, "
     "double complex k)"),
    ("CyTransformer", "compute_open_circuit_parameters",
     "CyTransformer.compute_open_circuit_parameters(self, double uhv, double ulv, double sn)"),
    ("CyTransformer", "compute_short_circuit_parameters",
     "CyTransformer.compute_short_circuit_parameters(self, double uhv, double ulv, double sn)"),
    ("CyFlexibleParameter", "compute_power",
     "CyFlexibleParameter.compute_power(self, double x, double complex s_th)"),
    ("CyFlexibleParameter", "update_parameters",
     "CyFlexibleParameter.update_parameters(self, double s_max, double q_min, double q_max)"),
    ("CyFlexibleLoad", "update_powers",
     "CyFlexibleLoad.update_powers(self, double complex[::1] powers)"),
    ("CyFlexibleLoad", "update_power", "CyFlexibleLoad.update_power(self, double complex power)"),
    ("CyFlexibleLoad", "get_powers", "CyFlexibleLoad.get_powers(self, int n)"),
    ("CyDeltaFlexibleLoad", "update_powers",
     "CyDeltaFlexibleLoad.update_powers(self, double complex[::1] powers)"),
    ("CyDeltaFlexibleLoad", "get_powers", "CyDeltaFlexibleLoad.get_powers(self, int n)"),
]


@pytest.mark.parametrize("type_name, method, doc", METHOD_DOCS)
def test_method_docstrings_names_and_signatures(type_name, method, doc):
    function = getattr(ohmweave, type_name).__dict__[method]
    assert function.__doc__ == doc
    assert function.__name__ == method
    assert function.__qualname__ == f"{type_name}.{method}"
    assert function.__module__ == "meshvolt.ohmweave"
    # The parameter names of the signature line, without the declared kinds.
    names = [part.split()[-1] for part in doc[doc.index("(") + 1:-1].split(", ")]
    assert list(inspect.signature(function).parameters) == names


def test_methods_are_inherited_and_bind_to_instances():
    bus = ohmweave.CyBus(1, np.zeros(1, complex))
    assert ohmweave.CyBus.connect is ohmweave.CyElement.__dict__["connect"]
    assert "connect" not in ohmweave.CyBus.__dict__
    assert list(inspect.signature(bus.get_potentials).parameters) == ["n"]
    assert bus.get_potentials.__doc__ == "CyElement.get_potentials(self, int n)"


def test_logging_function_is_a_module_function():
    function = ohmweave.cy_set_logging_config
    assert function.__qualname__ == function.__name__ == "cy_set_logging_config"
    assert function.__module__ == "meshvolt.ohmweave"
    assert function.__doc__ == "cy_set_logging_config(str severity)"
    assert list(inspect.signature(function).parameters) == ["severity"]


def test_repeated_import_gives_the_same_module_and_types():
    module = sys.modules["meshvolt.ohmweave"]
    bus_type = module.CyBus
    del sys.modules["meshvolt.ohmweave"]
    again = importlib.import_module("meshvolt.ohmweave")
    assert again is module
    assert again.CyBus is bus_type
    assert importlib.reload(again) is module
    assert module.CyBus is bus_type
    assert module.CyBus.__dict__["initialize_potentials"] is bus_type.__dict__["initialize_potentials"]


def test_import_alone_prints_nothing():
    done = run_python("import meshvolt.ohmweave")
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""
    assert done.stderr == ""


def test_import_issues_no_warning_when_the_versions_match():
    # The module compares the running interpreter with the one it was built for.
    done = run_python("import meshvolt.ohmweave", "-W", "error")
    assert done.returncode == 0, done.stderr


def test_a_second_interpreter_is_refused_and_the_first_keeps_working():
    # A legacy-configured subinterpreter (the main interpreter's lock, extension modules unchecked)
    # lets the import reach the module's own refusal. On 3.15, CPython refuses the module in an
    # isolated one before the module runs; `concurrent.interpreters` (3.14+) makes only those.
    done = run_python("""
        import importlib.util
        import numpy as np
        import meshvolt.ohmweave as ohmweave

        def run_in_subinterpreter(code):
            # Runs code in a new legacy-configured subinterpreter; an error there is raised here.
            if importlib.util.find_spec("_interpreters"):  # 3.13+: exec returns the error
                import _interpreters
                sub = _interpreters.create("legacy")
                error = _interpreters.exec(sub, code)
                _interpreters.destroy(sub)
                if error:
                    raise RuntimeError(error.errdisplay)
            else:  # 3.11 and 3.12: run_string raises it
                import _xxsubinterpreters
                sub = _xxsubinterpreters.create(isolated=False)
                try:
                    _xxsubinterpreters.run_string(sub, code)
                finally:
                    _xxsubinterpreters.destroy(sub)

        run_in_subinterpreter('''
        try:
            import meshvolt.ohmweave
        except ImportError as error:
            print("refused:", error, flush=True)
        ''')
        bus = ohmweave.CyBus(1, np.array([2j]))
        print("still working:", bus.get_port_potential(0))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "refused: Interpreter change detected - this module can only be loaded into one interpreter "
        "per process.",
        "still working: 2j",
    ]


def test_without_numpy_the_import_fails_and_a_later_import_starts_again():
    done = run_python("""
        import sys, traceback
        sys.modules["numpy"] = None
        try:
            import meshvolt.ohmweave
        except ImportError as error:
            names = [entry.name for entry in traceback.extract_tb(error.__traceback__)]
            print("failed:", isinstance(error, ImportError), "init meshvolt.ohmweave" in names)
        assert "meshvolt.ohmweave" not in sys.modules
        del sys.modules["numpy"]
        import numpy as np
        import meshvolt.ohmweave as ohmweave
        print("imported:", ohmweave.np is np, ohmweave.CyBus(1, np.array([1j])).get_potentials(1))
    """)
    assert done.returncode == 0, done.stderr
    assert "failed: True True" in done.stdout
    assert "imported: True [0.+1.j]" in done.stdout


@pytest.mark.parametrize("replacement, error", [
    ("5", "TypeError: numpy.dtype is not a type object"),
    ("type('Small', (), {'__slots__': ()})",
     r"ValueError: numpy.dtype size changed, may indicate binary incompatibility\. "
     r"Expected \d+ from C header, got 16 from PyObject"),
])
def test_numpy_types_are_checked_against_the_headers(replacement, error):
    done = run_python(f"""
        import sys, types
        import numpy
        fake = types.ModuleType("numpy")
        fake.__dict__.update(numpy.__dict__)
        fake.dtype = {replacement}
        sys.modules["numpy"] = fake
        try:
            import meshvolt.ohmweave
        except Exception as e:
            print(type(e).__name__ + ": " + str(e))
    """)
    assert done.returncode == 0, done.stderr
    assert re.fullmatch(error, done.stdout.strip())


def test_a_broken_array_interface_becomes_an_import_error_with_the_cause_as_context():
    done = run_python("""
        import sys, types
        import numpy
        real = sys.modules["numpy._core._multiarray_umath"]
        fake = types.ModuleType("numpy._core._multiarray_umath")
        fake._ARRAY_API = 5
        sys.modules["numpy._core._multiarray_umath"] = fake
        try:
            import meshvolt.ohmweave
        except ImportError as error:
            print(error, "|", type(error.__context__).__name__, error.__context__)
        sys.modules["numpy._core._multiarray_umath"] = real
        import meshvolt.ohmweave
        print("imported afterwards")
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "numpy._core.multiarray failed to import | RuntimeError _ARRAY_API is not PyCapsule object",
        "imported afterwards",
    ]


def test_module_globals_hold_numpy_for_results():
    bus = ohmweave.CyBus(2, np.array([1, 2], complex))
    saved = ohmweave.np
    del ohmweave.np
    try:
        with pytest.raises(NameError, match=r"^name 'np' is not defined$"):
            bus.get_potentials(2)
    finally:
        ohmweave.np = saved
    assert bus.get_potentials(2).tolist() == [1, 2]


def test_the_checkout_root_imports_the_installed_module():
    import os
    import subprocess
    checkout = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    done = subprocess.run([sys.executable, "-c", "from meshvolt import ohmweave; print(ohmweave.CyBus)"],
                          cwd=checkout, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "<class 'meshvolt.ohmweave.CyBus'>"
