"""The shipped type stubs are exactly what the binding tables describe."""

import gen_stubs


def test_shipped_stubs_match_the_tables():
    for name, text in gen_stubs.render().items():
        shipped = (gen_stubs.STUB_DIR / name).read_text()
        assert shipped == text, f"{name} is stale: run tools/gen_stubs.py --write"


def test_every_row_is_typed_and_described():
    rows = gen_stubs.read_rows()
    assert rows
    for row in rows:
        where = f"{row.owner}.{row.name}"
        assert row.summary.strip(), f"{where} has no description"
        assert "\t" not in row.summary and "\n" not in row.summary
        if row.kind != "hash_none":
            assert row.result, f"{where}: result type neither derived nor spelled out"
        assert all(name and typ for name, typ in row.params), where
    # A row registers once, even if its table is built again.
    keys = [(r.kind, r.owner, r.name) for r in rows]
    assert len(keys) == len(set(keys))


# What IDEs show comes from the rows' descriptions, so the guide's warnings
# must reach them. Each "Things to know" section, by the start of its
# heading, names the rows it concerns and a phrase each row's description must
# carry; [] marks an item no row is about. A new item fails the test until it
# is entered here.
KNOW = {
    "Results are bit-exact": [("Vec3d", "dot", "+ z*z', in that order"),
                           ("VecList", "minimum_distance_to", "sign bit set ranks lowest")],
    "The floating-point environment": [],
        "Degenerate inputs never raise": [("Vec3d", "normalize", "zero vector gives NaNs"),
                                      ("Vec3d", "__truediv__", "by 0 gives inf or NaN"),
                                      ("AngleRadians", "__truediv__", "by 0 gives inf or NaN")],
    "Reprs are exact": [],
    "`==` is identity": [
        (cls, "__new__", "== is identity") for cls in ("Vec3d", "Quat", "Plane", "AngleDegrees", "VecList")
    ] + [("AngleRadians", "__eq__", "unhashable"), ("Circle", "__eq__", "unhashable")],
    "`angle_to` clamps": [("Vec3d", "angle_to", "cosine is clamped to [-1, 1]")],
    "`is_unit()` is strict": [("Vec3d", "is_unit", "< 2**-52, strictly"),
                              ("Vec3d", "is_unit", "2.7% of normalize() results fail"),
                              ("Quat", "is_unit", "< 2**-52, strictly"),
                              ("VecList", "is_unit", "< 2**-52 for each vector, strictly")],
    "`minimum_distance_to` ranks a NaN with the sign bit set below every number": [
        ("VecList", "minimum_distance_to", "sign bit set ranks lowest"),
        ("VecList", "normalize", "zero vector gives NaNs (sign bit set)"),
        ("Vec3d", "normalize", "zero vector gives NaNs (sign bit set)")],
    "Quaternions are the conjugate": [("Quat", "from_axis_angle", "the conjugate of PyGLM's"),
                               ("Quat", "rotate", "conj(q) * v * q")],
    "Send the module, not the class": [],
    "No negative indexing, no slicing": [("Vec3d", "__getitem__", "negative index raises OverflowError"),
                                            ("VecList", "__getitem__", "negative index raises OverflowError")],
    "`geometry` is an attribute": [],
    "Internal failures are a `BaseException`": [
        ("VecList", "collapse", "raises PanicException"), ("VecList", "minimum_distance_to", "PanicException")],
    "No subclasses": [],
}
# The Plane section's warnings, by their text there.
PLANE = {
    "`xz()` and `yz()` all return the plane z = 0": [
        ("Plane", "xy", "The plane z = 0"), ("Plane", "xz", "The plane z = 0, as xy() (not y = 0)"),
        ("Plane", "yz", "The plane z = 0, as xy() (not x = 0)")],
    "one-sided": [("Plane", "contains_point", "one-sided, every point behind the plane counts"),
                  ("", "circle_point", "one-sided contains_point")],
}


def guide_page(name):
    return (gen_stubs.STUB_DIR.parents[2] / "docs" / "guide" / name).read_text(encoding="utf-8")


def test_guide_warnings_reach_the_rows_they_concern():
    summaries = {}
    for r in gen_stubs.read_rows():
        summaries.setdefault((r.owner, r.name), []).append(r.summary)
    leads = [line[3:] for line in guide_page("things_to_know.md").splitlines() if line.startswith("## ")]
    assert len(leads) == len(KNOW)
    for lead in leads:
        assert [k for k in KNOW if lead.startswith(k)], f"guide item {lead!r} is not entered in KNOW"
    geometry = guide_page("geometry.md")
    plane = geometry[geometry.index("## `Plane`"):geometry.index("## `Circle`")]
    assert all(k in plane for k in PLANE)
    for owner, name, phrase in [row for rows in [*KNOW.values(), *PLANE.values()] for row in rows]:
        said = summaries.get((owner, name))
        assert said, f"no row {owner}.{name}"
        assert any(phrase in s for s in said), f"{owner}.{name}: {said} does not say {phrase!r}"
