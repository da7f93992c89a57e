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
