"""A bounded, seeded run of the API fuzzer (tools/kestrum_fuzz), plus
checks that the fuzzer itself tells allowed outcomes from findings.

Longer campaigns: python tools/kestrum_fuzz/fuzz_api.py --calls 1000000 --jobs 2
"""

import faulthandler
import subprocess
import sys
import types

import pytest

from kestrum_fuzz import fuzz_api

# Enough to reach every member many times; a few seconds even under ASan.
CALLS = 20000
SEED = 20240614  # one whose run meets every outcome below (the rotation members shifted the stream)


def _run(fz, calls):
    # A hang ends the run with every thread's traceback instead of stalling CI.
    faulthandler.dump_traceback_later(600, exit=True, file=sys.__stderr__)
    try:
        return fz.run(calls)
    finally:
        faulthandler.cancel_dump_traceback_later()


def _report(fz):
    return fuzz_api.format_report(fz.summary())


@pytest.fixture(scope="module")
def seeded_run():
    return _run(fuzz_api.Fuzzer(seed=SEED), CALLS)


def test_seeded_run_has_no_findings(seeded_run):
    assert seeded_run.calls == CALLS
    assert seeded_run.finding_count == 0, _report(seeded_run)


def test_seeded_run_reaches_every_member(seeded_run):
    fz = seeded_run
    # Deleting a property always fails, as does writing a read-only one or
    # instantiating a class that has no constructor; everything else must have
    # succeeded at least once, or the run did not really exercise it.
    never = []
    for t in fz.targets:
        if t.kind == "del" or t.ok:
            continue
        if t.kind == "set" and not _writable(fz, t):
            continue
        if t.kind in ("call_class", "call_new") and t.cls.__text_signature__ is None:
            continue
        never.append(t.name)
    assert not never, f"never succeeded: {never}\n{_report(fz)}"
    assert fz.nested_calls > 100, "hooks rarely called back into the library"
    for label in ("hostile ValueError passed through", "RuntimeError(Already mutably borrowed)",
                  "nested RuntimeError(Already borrowed)", "StopIteration",
                  "TypeError (hostile TypeError wrapped, cause kept)"):
        assert fz.outcomes[label] > 0, f"no '{label}' outcome\n{_report(fz)}"
    assert any(k.startswith("PanicException(") for k in fz.outcomes)


def _writable(fz, target):
    sample = fz.instance(target.cls)
    if not isinstance(sample, target.cls):
        return True  # none was ever made: the run missed the class altogether
    try:
        target.obj.__set__(sample, target.obj.__get__(sample))
    except AttributeError:
        return False
    return True


def test_iterator_class_is_found_from_results(seeded_run):
    import kestrum_py
    it_type = type(iter(kestrum_py.VecList.empty()))
    assert it_type in seeded_run.by_class
    assert any(t.name == "VecListIterator.__next__" and t.ok for t in seeded_run.targets)


# -- the judge itself: planted faults in a stand-in module must be reported -----------

class PanicException(BaseException):
    """Same name as the extension's internal-failure exception."""


def _fake_module(**functions):
    mod = types.ModuleType("fake_ext")
    for name, fn in functions.items():
        setattr(mod, name, fn)
    mod.__all__ = list(functions)
    return mod


def as_double(a):
    """What the extension's float conversion accepts (Python's float() would
    also parse text)."""
    if isinstance(a, float):
        return a
    if isinstance(a, (str, bytes)):  # numpy's str_ has __float__ but no float slot
        raise TypeError(f"must be real number, not {type(a).__name__}")
    if hasattr(type(a), "__float__"):
        value = type(a).__float__(a)
        if not isinstance(value, float):
            raise TypeError(f"__float__ returned non-float (type {type(value).__name__})")
        return value
    if hasattr(type(a), "__index__"):
        value = type(a).__index__(a)
        if not isinstance(value, int):
            raise TypeError(f"__index__ returned non-int (type {type(value).__name__})")
        return float(value)
    raise TypeError(f"must be real number, not {type(a).__name__}")


def _fuzz_fake(calls=600, **functions):
    fz = fuzz_api.Fuzzer(seed=7, modules=[_fake_module(**functions)])
    return _run(fz, calls)


def test_judge_accepts_a_well_behaved_function():
    def convert(a):
        return as_double(a)
    fz = _fuzz_fake(calls=3000, convert=convert)
    assert fz.finding_count == 0, _report(fz)
    assert fz.outcomes["ok"] > 0 and fz.outcomes["hostile ValueError passed through"] > 0


def test_judge_reports_a_valueerror_of_its_own():
    def bad(a):
        raise ValueError("not raised by any argument")
    fz = _fuzz_fake(bad=bad)
    assert fz.finding_count > 0
    assert "not raised by any argument" in fz.findings[0]["exception"]


def test_judge_reports_an_undocumented_panic():
    def boom(a):
        raise PanicException("internal failure")
    fz = _fuzz_fake(boom=boom)
    assert fz.finding_count > 0


def test_judge_reports_a_foreign_runtimeerror():
    def conflict(a):
        raise RuntimeError("Already borrowed!")  # not one of the two exact texts
    fz = _fuzz_fake(conflict=conflict)
    assert fz.finding_count > 0


def test_judge_reports_a_system_error():
    def leaky(a):
        raise SystemError("error return without exception set")
    fz = _fuzz_fake(leaky=leaky)
    assert fz.finding_count > 0


def test_judge_reports_a_swallowed_conversion_error():
    def forgiving(a):
        try:
            return as_double(a)
        except BaseException:  # what an error path that drops the exception looks like
            return 0.0
    fz = _fuzz_fake(calls=3000, forgiving=forgiving)
    assert fz.finding_count > 0
    assert "hook raised or returned junk" in fz.findings[0]["what"]


def test_judge_reports_a_wrapped_typeerror_that_lost_its_cause():
    def careless(a):
        try:
            return as_double(a)
        except TypeError as e:
            raise TypeError(f"argument 'a': {e}") from None
    fz = _fuzz_fake(calls=3000, careless=careless)
    assert fz.finding_count > 0
    assert all(f["exception"].startswith("TypeError") for f in fz.findings)


def test_judge_accepts_a_wrapped_typeerror_with_its_cause():
    def careful(a):
        try:
            return as_double(a)
        except TypeError as e:
            wrapped = TypeError(f"argument 'a': {e}")
            wrapped.__cause__ = e.__cause__
            raise wrapped from e.__cause__
    fz = _fuzz_fake(calls=3000, careful=careful)
    assert fz.finding_count == 0, _report(fz)


# -- the command line: batches in child processes ------------------------------------

def _cli(*args, timeout=120):
    return subprocess.run([sys.executable, fuzz_api.__file__, *args],
                          capture_output=True, text=True, timeout=timeout)


def test_cli_prints_calls_and_outcomes():
    r = _cli("--calls", "2000", "--batch", "1000", "--seed", "3")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "calls made: 2000 top-level" in r.stdout
    assert "findings: 0" in r.stdout


def test_cli_reports_a_crashing_batch_with_its_seed():
    r = _cli("--calls", "400", "--batch", "400", "--seed", "4", "--inject-crash-at", "150")
    assert r.returncode == 1, r.stdout + r.stderr
    assert "crash: child killed by signal" in r.stdout
    assert "--seed 400012 --calls 400" in r.stdout  # the batch's own seed, to replay it
    assert "149 " in r.stdout  # the last action started before the crash


def test_cli_reports_a_hanging_batch():
    r = _cli("--calls", "300", "--batch", "300", "--seed", "4", "--inject-hang-at", "100",
             "--timeout", "2")
    assert r.returncode == 1, r.stdout + r.stderr
    assert "hang: batch exceeded 2s" in r.stdout


# -- the rows drive it: targets, parameter kinds and declared errors ---------------

def test_every_exported_row_is_a_target_with_its_kinds_and_errors(seeded_run):
    import stub_rows
    from kestrum_fuzz.catalogue import alternatives
    by_name = {t.name: t for t in seeded_run.targets}
    suffix = {"property": "#get", "setter": "#set"}
    for row in stub_rows.read_rows():
        cls = seeded_run.cat.class_by_name.get(row.owner)
        if row.kind == "hash_none" or row.kind == "op" and row.name not in vars(cls):
            continue  # declares an absence; a slot this Python does not expose (__buffer__ before 3.12)
        name = f"{row.owner}.{row.name}{suffix.get(row.kind, '')}" if row.owner else row.name
        t = by_name.get(name)
        assert t is not None, f"row {row.owner}.{row.name} ({row.kind}) is no target"
        assert t.kinds == [alternatives(typ) for _, typ in row.params], name
        assert t.raises == row.raises, name
        if row.kind == "new":
            assert by_name[f"{row.owner}()"].kinds == t.kinds


def _fuzz_rows(rows, calls=1500, modules=None):
    fz = fuzz_api.Fuzzer(seed=11, modules=modules, rows=rows)
    return _run(fz, calls)


def test_a_rows_declared_error_governs_the_oracle():
    # The same calls twice: with the row as compiled, and with its one
    # declared error taken away, which must turn that error into findings.
    import stub_rows
    rows = [r for r in stub_rows.read_rows() if r.owner in ("QuatList", "Quat")]
    mean = next(r for r in rows if (r.owner, r.name) == ("QuatList", "mean"))
    assert mean.raises and {x.type for x in mean.raises} == {"ValueError"}
    declared = [x.message for x in mean.raises]
    kept = _fuzz_rows(rows)
    assert kept.outcomes["ValueError of QuatList.mean"] > 0, _report(kept)
    assert not [f for f in kept.findings if "QuatList.mean" in f["action"]], _report(kept)
    mean.raises = []
    flipped = _fuzz_rows(rows)
    found = [f for f in flipped.findings if f["action"].startswith("QuatList.mean")]
    assert found and all(any(m in f["exception"] for m in declared) for f in found)


def test_a_new_row_is_fuzzed_by_its_types_and_raises_with_no_tool_edit():
    # A function as a new binding row would export it: typed parameter, declared error.
    import stub_rows

    def shiny(times):
        x = as_double(times)
        if x != x:
            raise ValueError("times is NaN")
        return 2.0 * x
    text = "function\t\tshiny\tfloat\tA brand-new row.\tValueError: times is NaN\ttimes:_Float\n"
    fz = _fuzz_rows(stub_rows.parse_rows(text), calls=3000, modules=[_fake_module(shiny=shiny)])
    t = next(t for t in fz.targets if t.name == "shiny")
    assert t.kinds == [["_Float"]] and t.ok > 0
    assert fz.finding_count == 0, _report(fz)
    assert fz.outcomes["ValueError of shiny"] > 0  # NaN comes from the float kind's values
    undeclared = _fuzz_rows(stub_rows.parse_rows(text.replace("ValueError: times is NaN", "")), calls=3000,
                            modules=[_fake_module(shiny=shiny)])
    assert undeclared.finding_count > 0
