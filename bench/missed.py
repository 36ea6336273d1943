"""Missed seconds: the seconds in which the main loop should have polled a
temperature, read the detector or read the flows and did not, each labelled
with why (the schedule itself, the injected fault, or unexplained)."""

import math

from cycle import TC1, TC2, window_of

MEASURED_KINDS = {"poll": "temperature polls", "pid_read": "detector readings",
                  "flows": "flow readings"}


def missed_seconds(cycle, fault_seconds):
    """Per measured kind: expected and done seconds, misses by label. Adds
    what should never happen to the cycle's anomalies."""
    cs = cycle.cycle_start
    end_second = cs + cycle.cycle - 9
    first_second = cycle.passes[0].second if cycle.passes else None
    delay, duration = window_of(cycle.cycle)
    window_start, window_end = cs + delay, cs + delay + duration
    by_kind = {kind: [] for kind in MEASURED_KINDS}
    for p in cycle.passes:
        for action in p.actions:
            if action.kind in by_kind:
                by_kind[action.kind].append((p, action))

    # The controller polled follows the parity of the pass's wall second.
    for p, action in by_kind["poll"]:
        want = TC1 if p.second % 2 == 0 else TC2
        if action.first.address != want:
            cycle.anomalies.append("second %d (cycle second %d): polled %d, not %d" % (
                p.second, p.second - cs, action.first.address, want))

    result = {}
    spans = {"poll": (first_second, end_second), "flows": (first_second, end_second),
             "pid_read": (window_start + 1, window_end)}
    for kind, (low, high) in spans.items():
        expected = list(range(low, high + 1)) if low is not None else []
        done = {}
        attempted = {}
        for p, action in by_kind[kind]:
            attempted.setdefault(p.second, []).append(action)
            # A failed flow read leaves its second to be read again; the
            # others count as done once tried.
            if action.ok or kind != "flows":
                done.setdefault(p.second, []).append(action)
        for second, tries in attempted.items():
            if len(tries) > 1 and kind != "flows":
                cycle.anomalies.append("%s twice in second %d" % (kind, second - cs))
            if len(done.get(second, [])) > 1:
                cycle.anomalies.append("%s recorded twice in second %d" % (kind, second - cs))
        misses = [explain(cycle, kind, second, attempted, fault_seconds)
                  for second in expected if second not in done]
        counts = {"expected": len(expected),
                  "done": sum(1 for s in expected if s in done)}
        for label in ("schedule", "injected", "unexplained"):
            counts[label] = sum(1 for m in misses if m["label"] == label)
        counts["misses"] = misses
        counts["seconds"] = [low - cs, high - cs] if low is not None else None
        result[MEASURED_KINDS[kind]] = counts
    return result


def explain(cycle, kind, second, attempted, fault_seconds):
    cs = cycle.cycle_start
    entry = {"cycle_second": second - cs}

    def labelled(label, why):
        entry["label"] = label
        entry["why"] = why
        return entry

    if second in attempted:
        # Tried in that second but failed: the injected sensor fault.
        in_fault = fault_seconds and fault_seconds[0] <= second - cs <= fault_seconds[1]
        return labelled("injected" if in_fault else "unexplained",
                        "read failed" + (" (injected fault)" if in_fault else ""))
    # The previous action of this kind: did its marker reach this second?
    previous = None
    for p in cycle.passes:
        if p.second >= second:
            break
        for action in p.actions:
            if action.kind == kind and (action.ok or kind != "flows"):
                previous = (p, action)
    if previous is None:
        return labelled("unexplained", "no earlier reading")
    p, action = previous
    marker = marker_estimate(p, action)
    scheduled = p.start.real + (p.offset_ms(action) + action.marker_offset_ms()) / 1000.0
    entry["previous_pass_cycle_second"] = p.second - cs
    entry["marker_at"] = round(marker - cs, 3)
    entry["prescribed_marker_at"] = round(scheduled - cs, 3)
    if math.floor(marker) < second:
        return labelled("unexplained", "no pass did it in this second")
    retried = any(a.kind == "flows" and not a.ok and a.first.mono < action.first.mono
                  for q in cycle.passes if q.second == p.second for a in q.actions)
    if kind == "flows" and retried and fault_seconds:
        return labelled("injected", "a retry after the injected fault set the marker into this "
                                    "second")
    if math.floor(scheduled) >= second:
        return labelled("schedule", "the pass at cycle second %d (%s) sets the marker into this "
                        "second by its prescribed pauses alone" % (
                            p.second - cs, "+".join(a.kind for a in p.actions)))
    return labelled("unexplained", "the marker slipped into this second only by pause overshoot "
                    "(prescribed at %.3f, seen at %.3f)" % (scheduled - cs, marker - cs))


def marker_estimate(p, action):
    """When the action read the clock for its marker, from the wire."""
    if action.kind == "poll":
        return action.first.real
    index = p.actions.index(action)
    following = p.actions[index + 1].first.real if index + 1 < len(p.actions) else None
    if action.kind == "pid_read":
        low = action.first.real + 0.050
        high = following - 0.070 if following is not None else low
    else:  # flows: after the second sensor's read and its 40 ms
        low = action.last.real + 0.090
        high = following if following is not None else low
    return (low + max(low, high)) / 2
