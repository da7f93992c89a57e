"""VecList bulk results on the worker pool: bit-identity with the single-vector
operations, the strided search against a pure-Python evaluation, Python
threads racing on one list, and independence from the pool size."""

import math
import os
import random
import subprocess
import sys
import threading

import pytest

from kestrum_py import Quat, Vec3d, VecList

import purepy_list as pl
from purepy import bits, from_bits, same_double
from purepy_rot import Inputs

INF = math.inf
NAN = math.nan


def c(v):
    return (v.x, v.y, v.z)


# Bulk against single-value results: the full bit patterns, NaN sign and
# payload included.
def same_vecs(bulk, singles):
    got = bulk.to_array() if isinstance(bulk, VecList) else bulk
    assert len(got) == len(singles)
    for i, (g, s) in enumerate(zip(got, singles)):
        e = c(s) if isinstance(s, Vec3d) else s
        assert [bits(a) for a in g] == [bits(b) for b in e], (i, g, e)


def same_scalars(bulk, singles):
    assert len(bulk) == len(singles)
    for i, (g, e) in enumerate(zip(bulk, singles)):
        assert bits(g) == bits(e), (i, g, e)


# -- bit-identity with Vec3d / Quat -------------------------------------------------

N_BITS = 2500
POINTS = pl.random_vecs(2024, N_BITS) + [
    (0.0, 0.0, 0.0), (-0.0, -0.0, -0.0), (5e-324, -5e-324, 0.0), (1e308, 1e308, 1e308),
    (INF, -INF, NAN), (1.0, 0.0, 0.0), (1.0 + 2**-52, 0.0, 0.0), (0.6, 0.8, 0.0),
]
OTHERS = [(1.5, -2.0, 0.25), (0.0, 0.0, 0.0), (-0.0, 1e-310, -1e300), (INF, -1.0, NAN)]
SCALARS = [2.0, -3.7, 0.0, -0.0, INF, NAN, 1e-310, 1e308]


@pytest.fixture(scope="module")
def bulk_input():
    singles = [Vec3d(*t) for t in POINTS]
    return VecList(singles), singles


def test_unary_operations_match_vec3d(bulk_input):
    v, singles = bulk_input
    same_vecs(v.to_array(), POINTS)
    same_vecs([c(e) for e in v.list], POINTS)
    same_vecs([c(e) for e in v], POINTS)
    same_scalars(v.magnitude(), [s.magnitude() for s in singles])
    same_vecs(v.normalize(), [s.normalize() for s in singles])
    assert v.is_unit() == [s.is_unit() for s in singles]
    for axis in range(3):
        expected = [tuple(0.0 if k == axis else x for k, x in enumerate(t)) for t in POINTS]
        got = v.collapse(axis).to_array()
        same_vecs(got, expected)
        assert all(math.copysign(1.0, row[axis]) == 1.0 for row in got)


@pytest.mark.parametrize("other", OTHERS, ids=repr)
def test_vector_argument_operations_match_vec3d(bulk_input, other):
    v, singles = bulk_input
    o = Vec3d(*other)
    same_scalars(v.dot(o), [s.dot(o) for s in singles])
    same_vecs(v.cross(o), [s.cross(o) for s in singles])
    same_scalars(v.distance_to(o), [s.distance_to(o) for s in singles])
    same_vecs(v + o, [s + o for s in singles])
    same_vecs(v - o, [s - o for s in singles])
    j, d = v.minimum_distance_to(o, 1)
    assert bits(d) == bits(singles[j].distance_to(o))


@pytest.mark.parametrize("s", SCALARS, ids=repr)
def test_scalar_operations_match_vec3d(bulk_input, s):
    v, singles = bulk_input
    expected = [e * s for e in singles]
    same_vecs(v * s, expected)
    same_vecs(s * v, expected)
    same_vecs(v / s, [e / s for e in singles])


def test_rotate_matches_quat_rotate(bulk_input):
    _, singles = bulk_input
    src = Inputs(99)
    quats = [Quat(1, 0, 0, 0), Quat(0, 0, 0, 0), Quat(2, 1, -1, 0.5), Quat(NAN, 0, 1, 0)]
    quats += [Quat(*src.quat()) for _ in range(4)]
    for q in quats:
        v = VecList(singles)
        before = id(v)
        assert v.rotate(q) is None
        assert id(v) == before
        same_vecs(v, [q.rotate(s) for s in singles])


# -- NaN operands: which NaN comes out ------------------------------------------------
#
# When both operands of a sum or product are NaNs, the result is the left one
# (quieted); bulk results must follow the single-value operations there too,
# whatever the pool size and wherever the pieces are cut.

NAN_CHILD = r"""
import hashlib, random, struct, sys
from kestrum_py import Quat, Vec3d, VecList
def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]
def f(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]
SPECIALS = [f(b) for b in (0x7FF8000000000000, 0xFFF8000000000000, 0x7FF800000000ABCD,
                           0xFFFC000000001234, 0x7FF0000000000001, 0xFFF4000000000F00)]
SPECIALS += [float("inf"), -float("inf"), 0.0, -0.0, 1.5, -2.0, 5e-324, 1e308]
rng = random.Random(int(sys.argv[1]))
# Seed 1: NaNs everywhere. Seed 2: NaN-free elements and arguments whose
# infinities and zeros make NaNs inside the formulas, plus a few NaN elements.
choices = SPECIALS if sys.argv[1] == "1" else SPECIALS[6:]
def comp():
    return rng.choice(choices) if rng.random() < 0.8 else rng.uniform(-4, 4)
points = [Vec3d(comp(), comp(), comp()) for _ in range(3001)]
if sys.argv[1] != "1":
    for i in range(0, 3001, 700):
        points[i] = Vec3d(SPECIALS[i % 6], SPECIALS[(i + 1) % 6], 1.0)
v = VecList(points)
others = [Vec3d(comp(), comp(), comp()) for _ in range(4)] + [Vec3d(-SPECIALS[0], SPECIALS[2], 1.0)]
quats = [Quat(comp(), comp(), comp(), comp()) for _ in range(3)]
c = lambda e: (e.x, e.y, e.z)
h = hashlib.sha256()
bad = []
def check(name, got, want):
    got = [tuple(map(bits, g)) if isinstance(g, (list, tuple)) else bits(g) for g in got]
    want = [tuple(map(bits, c(w))) if isinstance(w, Vec3d) else bits(w) for w in want]
    h.update(repr(got).encode())
    if got != want:
        bad.append((name, sum(g != w for g, w in zip(got, want))))
check("magnitude", v.magnitude(), [p.magnitude() for p in points])
check("normalize", v.normalize().to_array(), [p.normalize() for p in points])
for o in others:
    check("dot", v.dot(o), [p.dot(o) for p in points])
    check("cross", v.cross(o).to_array(), [p.cross(o) for p in points])
    check("distance_to", v.distance_to(o), [p.distance_to(o) for p in points])
    check("+", (v + o).to_array(), [p + o for p in points])
    check("-", (v - o).to_array(), [p - o for p in points])
    j, d = v.minimum_distance_to(o, 1)
    h.update(repr((j, bits(d))).encode())
for s in SPECIALS[:4] + [0.75, float("inf"), 0.0]:
    check("*", (v * s).to_array(), [p * s for p in points])
    check("/", (v / s).to_array(), [p / s for p in points])
for q in quats:
    r = VecList(points)
    r.rotate(q)
    check("rotate", r.to_array(), [q.rotate(p) for p in points])
# Keys that are all NaNs: the sign bit ranks them.
w = VecList([Vec3d(1, 1, SPECIALS[0])] * 10007) + Vec3d(0, 0, SPECIALS[1])
h.update(repr(w.minimum_distance_to(Vec3d(0, 0, 0), 1)).encode())
print(h.hexdigest(), bad)
"""


def test_nan_results_follow_single_values_for_every_pool_size():
    base = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    base["PYTHONPATH"] = os.pathsep.join(sys.path)
    outs = set()
    for seed in (1, 2):
        for threads in ("1", "2", "3", "7"):
            proc = subprocess.run([sys.executable, "-c", NAN_CHILD, str(seed)], timeout=120,
                                  env={**base, "RAYON_NUM_THREADS": threads},
                                  capture_output=True, text=True)
            assert proc.returncode == 0, proc.stderr
            digest, bad = proc.stdout.split(maxsplit=1)
            assert bad.strip() == "[]", (seed, threads, bad)
            outs.add((seed, digest))
    assert len(outs) == 2


# NaN elements only late in each run of 256 elements (the unit in which bulk
# loops look for NaN results): the look must cover every double of the run.
LATE_NANS = [from_bits(b) for b in (0x7FF800000000ABCD, 0xFFF8000000001234, 0x7FF4000000000F00)]
LATE_POINTS = [(1.0 + i % 97, -0.5 * (i % 13), 2.0) if i % 256 < 86 else
               (LATE_NANS[i % 3], LATE_NANS[(i + 1) % 3], 3.0 - i % 7) for i in range(4096)]
NAN_ARG = Vec3d(-NAN, from_bits(0x7FF800000000BEEF), 1.0)


@pytest.mark.parametrize("op,single", [
    (lambda v: v.normalize(), lambda e: e.normalize()),
    (lambda v: v.cross(NAN_ARG), lambda e: e.cross(NAN_ARG)),
    (lambda v: v + NAN_ARG, lambda e: e + NAN_ARG),
    (lambda v: v - NAN_ARG, lambda e: e - NAN_ARG),
    (lambda v: v * -NAN, lambda e: e * -NAN),
    (lambda v: v / -NAN, lambda e: e / -NAN),
    (lambda v: v.rotate(Quat(NAN, 0.5, -NAN, 0.25)) or v, lambda e: Quat(NAN, 0.5, -NAN, 0.25).rotate(e)),
], ids=["normalize", "cross", "+", "-", "*", "/", "rotate"])
def test_nans_late_in_each_run_follow_single_values(op, single):
    singles = [Vec3d(*t) for t in LATE_POINTS]
    same_vecs(op(VecList(singles)), [single(e) for e in singles])


def test_nan_keys_rank_by_sign_in_the_search():
    pos, neg = NAN, -NAN
    w = VecList([Vec3d(1, 1, pos)] * 10007) + Vec3d(0, 0, neg)
    j, d = w.minimum_distance_to(Vec3d(0, 0, 0), 1)
    assert j == 0 and bits(d) == bits(pos)  # every key is the left, positive NaN
    # x - other.x keeps the left NaN: one negative key among positive ones
    # ranks first; with the other's negative NaN every key is the same.
    points = [Vec3d(3, 0, 0)] * 5000 + [Vec3d(neg, 0, 0)] + [Vec3d(0, 0, 0)] * 5000
    assert VecList(points).minimum_distance_to(Vec3d(pos, 0, 0), 1)[0] == 5000
    assert VecList(points).minimum_distance_to(Vec3d(neg, 0, 0), 1)[0] == 0
    # A negative NaN key ranks below every number, a positive one above.
    assert VecList(points).minimum_distance_to(Vec3d(0, 0, 0), 1)[0] == 5000
    points[7000] = Vec3d(1, 0, pos)
    j, d = VecList(points).minimum_distance_to(Vec3d(1, 0, 0), 1)
    assert (j, bits(d)) == (5000, bits(neg))


# -- strided search against the pure-Python evaluation ------------------------------------

def strides_for(rng, n):
    return sorted({1, 2, 3, max(1, n - 1), n + 1, rng.randint(1, n + 2), rng.randint(1, 12), 2**64 - 1})


def check_search(points, p, strides):
    v = VecList([Vec3d(*t) for t in points])
    brute = pl.nearest_in(points, p, range(len(points)))
    for s in strides:
        j, d = v.minimum_distance_to(Vec3d(*p), s)
        ej, ed = pl.minimum_distance(points, p, s)
        assert j == ej and same_double(d, ed), (s, j, d, ej, ed)
        if s == 1 or s >= len(points):
            assert j == brute


def test_search_on_tie_heavy_lists():
    rng = random.Random(5)
    for _ in range(150):
        n = rng.choice((1, 2, 3, rng.randint(4, 40), rng.randint(40, 300)))
        points = pl.tie_heavy_vecs(rng, n)
        p = rng.choice([(0.0, 0.0, 0.0), (-0.0, 0.0, -0.0), points[0], rng.choice(points),
                        (rng.uniform(-3, 3), rng.uniform(-3, 3), rng.uniform(-3, 3))])
        if not all(math.isfinite(x) for x in p):
            p = (1.0, -1.0, 0.5)
        check_search(points, p, strides_for(rng, n))


def test_search_on_wide_value_lists():
    rng = random.Random(6)
    for k in range(40):
        n = rng.randint(1, 500)
        points = pl.random_vecs(1000 + k, n)
        p = rng.choice([(0.0, 0.0, 0.0), (rng.uniform(-1e3, 1e3), 0.5, -2.0), (1e200, -1e-200, 3.0)])
        check_search(points, p, strides_for(rng, n))


def test_search_window_excludes_nearer_elements():
    # The best sample is index 4 (key 1); index 1 (key 0) lies outside [2, 6).
    points = [(9.0, 0, 0), (0.0, 0, 0), (9.0, 0, 0), (9.0, 0, 0), (1.0, 0, 0), (9.0, 0, 0)]
    assert pl.minimum_distance(points, (0.0, 0.0, 0.0), 2) == (4, 1.0)
    v = VecList([Vec3d(*t) for t in points])
    assert v.minimum_distance_to(Vec3d(0, 0, 0), 2) == (4, 1.0)
    assert v.minimum_distance_to(Vec3d(0, 0, 0), 3) == (1, 0.0)


# -- Python threads on one list ----------------------------------------------------------

def test_reader_and_appender_threads():
    v = VecList([Vec3d(i, 1, 2) for i in range(20_000)])
    start = len(v)
    outcomes, read_lengths, errors = [], [], []
    stop = threading.Event()
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)

    def reader():
        while True:  # at least one read, even if the appender is done first
            try:
                read_lengths.append(len(v.magnitude()))
            except RuntimeError as e:  # only without a global interpreter lock
                if str(e) != "Already mutably borrowed":
                    errors.append(e)
            except BaseException as e:
                errors.append(e)
            if stop.is_set():
                return

    def appender():
        for k in range(500):
            try:
                outcomes.append(v.append(Vec3d(-k, 0, 0)))
            except BaseException as e:
                outcomes.append(e)

    try:
        threads = [threading.Thread(target=reader), threading.Thread(target=reader)]
        for t in threads:
            t.start()
        appender()
        stop.set()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert not errors
    ok = sum(o is None for o in outcomes)
    failed = [o for o in outcomes if o is not None]
    assert all(type(e) is RuntimeError and str(e) == "Already borrowed" for e in failed), failed[:3]
    assert len(v) == start + ok
    assert all(start <= n <= start + ok for n in read_lengths) and read_lengths
    appended = [c(e)[0] for e in v.list[start:]]
    assert appended == sorted(appended, reverse=True)  # in call order


def test_concurrent_bulk_reads_agree():
    v = VecList([Vec3d(*t) for t in pl.random_vecs(3, 20_000)])
    expected = v.to_array()
    results = [None] * 4

    def work(k):
        results[k] = (v.to_array(), repr(v) if k % 2 else None)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    text = repr(v)
    for arr, r in results:
        same_vecs(arr, expected)
        assert r is None or r == text


# -- independence from the pool size ------------------------------------------------------

FULL_SIZES = [0, 1, 2, 3, 1000, 100_003]
SMALL_SIZES = [0, 1, 2, 3, 1000]

CHILD = """
import os, sys
before = len(os.listdir('/proc/self/task'))
import kestrum_py
kestrum_py.VecList([])  # the first bulk operation starts the pool
workers = len(os.listdir('/proc/self/task')) - before
from purepy_list import workload_digest
print(workers, workload_digest([int(n) for n in sys.argv[1:]]))
"""

THREAD_ENVS = [{}, {"RAYON_NUM_THREADS": "1"}, {"RAYON_NUM_THREADS": "2"}, {"RAYON_NUM_THREADS": "3"},
               {"RAYON_NUM_THREADS": "+8"}]
FALLBACK_ENVS = [
    {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"},  # 0 asks for the default, no fallback
    {"RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "3"},
    {"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "+2"},
    {"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "0"},
    {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "4x"},
    {"RAYON_NUM_THREADS": "99999999999999999999", "RAYON_RS_NUM_CPUS": "3"},  # beyond 64 bits
    {"RAYON_RS_NUM_CPUS": "2"},
]


@pytest.fixture(scope="module")
def children():
    """(workers, digest) per environment; all children run at once."""
    base = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    base["PYTHONPATH"] = os.pathsep.join(sys.path)
    jobs = [(env, FULL_SIZES) for env in THREAD_ENVS] + [(env, SMALL_SIZES) for env in FALLBACK_ENVS]
    procs = [subprocess.Popen([sys.executable, "-c", CHILD, *map(str, sizes)], env={**base, **env},
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for env, sizes in jobs]
    out = []
    for proc, (env, _) in zip(procs, jobs):
        stdout, stderr = proc.communicate(timeout=120)
        assert proc.returncode == 0, (env, stderr)
        workers, digest = stdout.split()
        out.append((int(workers), digest))
    return out[:len(THREAD_ENVS)], out[len(THREAD_ENVS):]


def test_digest_independent_of_thread_count(children):
    results, _ = children
    assert [d for _, d in results] == [pl.workload_digest(FULL_SIZES)] * len(THREAD_ENVS)
    assert [w for w, _ in results[1:]] == [1, 2, 3, 8]
    assert results[0][0] >= 1


def test_environment_fallbacks(children):
    (default, _), *_ = children[0]
    results = children[1]
    assert [d for _, d in results] == [pl.workload_digest(SMALL_SIZES)] * len(FALLBACK_ENVS)
    assert [w for w, _ in results] == [default, 3, 2, default, default, 3, 2]


FORK_CHILD = r"""
import os, sys
from kestrum_py import Vec3d, VecList
v = VecList([Vec3d(i, 1.0, 2.0) for i in range(5000)])
expected = repr(v.normalize())          # the parent's pool is running now
pid = os.fork()
if pid == 0:
    # The child has none of the parent's worker threads; a bulk call must
    # still complete, with the same result.
    os._exit(0 if repr(v.normalize()) == expected else 3)
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
"""


def test_bulk_operation_in_forked_child_completes():
    env = {**os.environ, "RAYON_NUM_THREADS": "2"}
    result = subprocess.run([sys.executable, "-c", FORK_CHILD], env=env, timeout=60,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


# -- floating-point environment --------------------------------------------------------------
#
# A caller with round-upward, flush-to-zero and denormals-are-zero set (as a
# library built with fast-math leaves them) starts the pool and runs bulk
# operations. Bulk results are those of the default environment anyway; the
# single-value operations are computed afterwards in the default environment.

FP_ENV_CHILD = r"""
import ctypes, random, struct, sys
from kestrum_py import Quat, Vec3d, VecList
libm = ctypes.CDLL("libm.so.6")
def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]
rng = random.Random(8)
def comp():
    return rng.choice((rng.uniform(-1, 1), rng.uniform(-1, 1) * 1e-308, 1 / 3, 5e-324, 2.2e-308))
points = [Vec3d(comp(), comp(), comp()) for _ in range(1000)]
o, q = Vec3d(1 / 3, 2.5e-308, -0.1), Quat(0.9, 0.1, -1 / 3, 0.2)
def bulk_results():
    v = VecList(points)
    one = VecList(points[:1])  # a single element runs on the calling thread
    r = VecList(points)
    r.rotate(q)
    out = [v * 0.75, v.normalize(), v + o, v.cross(o), r, one * 0.75]
    out = [x.to_array() for x in out] + [v.dot(o), v.magnitude(), v.distance_to(o), one.dot(o)]
    j, d = v.minimum_distance_to(o, 1)
    return out + [[j, d]]
def single_results():
    c = lambda e: [e.x, e.y, e.z]
    out = [[c(p * 0.75) for p in points], [c(p.normalize()) for p in points],
           [c(p + o) for p in points], [c(p.cross(o)) for p in points],
           [c(q.rotate(p)) for p in points], [c(points[0] * 0.75)],
           [p.dot(o) for p in points], [p.magnitude() for p in points],
           [p.distance_to(o) for p in points], [points[0].dot(o)]]
    d = [p.distance_to(o) for p in points]
    j = min(range(len(d)), key=lambda i: (d[i], i))
    return out + [[j, d[j]]]
def flat(xs):
    for x in xs:
        if isinstance(x, list):
            yield from flat(x)
        else:
            yield bits(float(x))
env = ctypes.create_string_buffer(64)
assert libm.fegetenv(env) == 0
mxcsr = struct.unpack_from("<I", env, 28)[0]
struct.pack_into("<I", env, 28, (mxcsr & ~0x6000) | 0x4000 | 0x8000 | 0x40)  # up, FTZ, DAZ
assert libm.fesetenv(env) == 0
during = bulk_results()        # also starts the pool in this environment
assert libm.fesetenv(ctypes.c_void_p(-1)) == 0  # FE_DFL_ENV
after = bulk_results()
want = single_results()
names = ["*", "normalize", "+", "cross", "rotate", "* one", "dot", "magnitude", "distance_to",
         "dot one", "minimum_distance_to"]
bad = [(n, which) for n, d, a, w in zip(names, during, after, want)
       for which, got in (("during", d), ("after", a)) if list(flat(got)) != list(flat(w))]
print(bad)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux") or os.uname().machine != "x86_64",
                    reason="sets the SSE control register through glibc's fenv_t layout")
def test_bulk_results_ignore_the_callers_floating_point_environment():
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), "RAYON_NUM_THREADS": "2"}
    proc = subprocess.run([sys.executable, "-c", FP_ENV_CHILD], env=env, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]"


# The pool starts at the first bulk use. Under an address-space limit that
# leaves room for two workers' stacks but not for eight, the start fails part
# way: MemoryError, no worker left behind, and the next call, once the limit
# is lifted, starts the pool.
POOL_START_CHILD = r"""
import os, pickle, resource
import kestrum_py as kp

def vm_size():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))

def threads():
    return len(os.listdir("/proc/self/task"))

rows = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
blob = pickle.dumps(kp.VecList.empty())
before = threads()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (20 << 20), hard))
outcomes = []
for attempt in (lambda: kp.VecList.from_array(rows), lambda: pickle.loads(blob)):
    try:
        attempt()
        outcomes.append("started")
    except MemoryError as e:
        outcomes.append("MemoryError: " + str(e))
    except BaseException as e:
        outcomes.append(type(e).__name__ + ": " + str(e))
after_failure = threads()
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(repr((outcomes, before, after_failure, kp.VecList.from_array(rows).to_array(),
            len(pickle.loads(blob)), threads() - before)))
"""


# ASan reserves terabytes of shadow memory: no address-space cap under it.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="address-space cap under ASan")
def test_pool_start_short_of_memory_raises_memory_error_and_is_retried():
    env = {**os.environ, "RAYON_NUM_THREADS": "8"}
    proc = subprocess.run([sys.executable, "-c", POOL_START_CHILD], env=env, timeout=60,
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr[-2000:]
    outcomes, before, after_failure, rows, unpickled, started = eval(proc.stdout)
    for outcome in outcomes:
        assert outcome.startswith("MemoryError: The global thread pool has not been initialized.: "
                                  "failed to spawn worker thread "), outcomes
    assert after_failure == before  # the workers that did start are gone again
    assert rows == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]] and unpickled == 0
    assert started == 8
