"""The report of a run: outcomes counted by label, targets reached, findings."""


def format_report(total):
    lines = [f"calls made: {total['calls']} top-level, {total['nested']} nested (re-entrant)"]
    lines.append("outcomes:")
    for label, n in sorted(total["outcomes"].items(), key=lambda kv: -kv[1]):
        lines.append(f"  {n:>10}  {label}")
    targets = total["targets"]
    never = sorted(n for n, (c, ok) in targets.items() if c and not ok and not n.startswith("op:"))
    lines.append(f"targets: {len(targets)} called, {sum(1 for c, ok in targets.values() if ok)} "
                 f"with at least one successful call")
    if never:
        lines.append("  never succeeded: " + ", ".join(never))
    lines.append(f"findings: {total['finding_count']}")
    for f in total["findings"][:20]:
        lines.append(f"- [{f['what']}] seed {f['seed']} call {f['call']}: {f['action']}")
        if f.get("exception"):
            lines.append(f"    raised {f['exception']}")
        if f.get("detail"):
            lines.append("    " + f["detail"].replace("\n", "\n    "))
        if f.get("traceback"):
            lines.append("    " + f["traceback"].strip().replace("\n", "\n    "))
    return "\n".join(lines)


def merge(total, part):
    total["calls"] += part["calls"]
    total["nested"] += part["nested"]
    total["finding_count"] += part["finding_count"]
    total["findings"].extend(part["findings"])
    for k, v in part["outcomes"].items():
        total["outcomes"][k] = total["outcomes"].get(k, 0) + v
    for k, (c, ok) in part["targets"].items():
        a = total["targets"].setdefault(k, [0, 0])
        a[0] += c
        a[1] += ok

