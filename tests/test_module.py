"""What Python sees of the module: its contents, the class, signatures."""

import importlib
import pickle
import sys

import pytest

import _morlatch

METHOD_SIGNATURES = {
    "fuzzy_match": "($self, prefix, max_dist, limit)",
    "exact_match": "($self, prefix)",
    "get_children": "($self, node_id)",
    "get_payload": "($self, node_id)",
    "to_bytes": "($self)",
}

FUNCTION_SIGNATURES = {
    "from_internal_data": "(node_shifts, node_strings, node_payloads, child_indices)",
    "from_bytes": "(bs)",
}


def test_all_lists_the_three_public_names_in_order():
    assert _morlatch.__all__ == ["from_internal_data", "from_bytes", "PrefixSearch"]
    public = sorted(name for name in vars(_morlatch) if not name.startswith("_"))
    assert public == sorted(_morlatch.__all__)
    assert _morlatch.__doc__ is None


def test_reimport_returns_the_identical_module():
    first = importlib.import_module("_morlatch")
    del sys.modules["_morlatch"]
    try:
        again = importlib.import_module("_morlatch")
    finally:
        sys.modules["_morlatch"] = first
    assert again is first


@pytest.mark.parametrize("name, signature", METHOD_SIGNATURES.items())
def test_method_signature_and_no_docstring(name, signature):
    method = getattr(_morlatch.PrefixSearch, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


@pytest.mark.parametrize("name, signature", FUNCTION_SIGNATURES.items())
def test_function_signature_and_module(name, signature):
    function = getattr(_morlatch, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__module__ == "_morlatch"
    assert function.__self__ is _morlatch


def test_class_identity():
    cls = _morlatch.PrefixSearch
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (
        "PrefixSearch",
        "PrefixSearch",
        "builtins",
    )
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None
    # Reprs and messages name the class without a module.
    assert repr(cls) == "<class 'PrefixSearch'>"
    instance = _morlatch.from_internal_data([0], [""], [None], [])
    assert repr(instance).startswith("<PrefixSearch object at 0x")
    with pytest.raises(TypeError, match="^cannot pickle 'PrefixSearch' object$"):
        pickle.dumps(instance)
    own = {name for name in vars(cls) if not name.startswith("__")}
    assert own == set(METHOD_SIGNATURES)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((), {"node_shifts": []})])
def test_class_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as info:
        _morlatch.PrefixSearch(*args, **kwargs)
    assert str(info.value) == "No constructor defined for PrefixSearch"


def test_instances_are_independent_objects():
    a = _morlatch.from_internal_data([0], [""], [1], [])
    b = _morlatch.from_internal_data([0], [""], [2], [])
    assert type(a) is _morlatch.PrefixSearch
    assert (a.get_payload(0), b.get_payload(0)) == (1, 2)


def test_panic_exception_class(panic_exception):
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__module__ == "fennic_runtime"
    assert panic_exception.__bases__ == (BaseException,)
    assert not issubclass(panic_exception, Exception)
    assert "BaseException" in panic_exception.__doc__
    assert not hasattr(_morlatch, "PanicException")


def run_in_subinterpreter(code):
    """Runs code in a new subinterpreter that shares the process's extension
    modules (a legacy one: isolated ones refuse such modules on their own).
    Returns the text of the exception it raised, "" when none."""
    if sys.version_info >= (3, 13):
        import _interpreters

        interp = _interpreters.create("legacy")
        try:
            failure = _interpreters.run_string(interp, code)
        finally:
            _interpreters.destroy(interp)
        return "" if failure is None else failure.formatted
    import _xxsubinterpreters as interpreters

    interp = (
        interpreters.create(isolated=False)
        if sys.version_info >= (3, 12)
        else interpreters.create()
    )
    try:
        interpreters.run_string(interp, code)
    except interpreters.RunFailedError as error:
        return str(error)
    finally:
        interpreters.destroy(interp)
    return ""


def test_import_in_a_subinterpreter_is_refused():
    failure = run_in_subinterpreter("import _morlatch")
    assert "ImportError" in failure
    assert "_morlatch does not yet support subinterpreters" in failure
    # The main interpreter keeps its module.
    assert _morlatch.from_internal_data([0], [""], [3], []).get_payload(0) == 3
