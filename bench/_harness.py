"""Tiny benchmark harness: best-of-N timing and a ratio table."""

import timeit


def per_call_ns(stmt, setup="pass", globals=None, number=None, repeat=7):
    timer = timeit.Timer(stmt, setup=setup, globals=globals)
    if number is None:
        number, _ = timer.autorange()
        number = max(number, 1000)
    best = min(timer.repeat(repeat=repeat, number=number))
    return best / number * 1e9


def table(title, rows):
    """rows: (operation, ns, floor name, floor ns)."""
    print(title)
    header = f"| {'operation':<34} | {'ns/call':>8} | {'floor':<28} | {'floor ns':>8} | {'ratio':>6} |"
    print(header)
    print("|" + "|".join("-" * (len(c)) for c in header.split("|")[1:-1]) + "|")
    for op, ns, floor, floor_ns in rows:
        print(f"| {op:<34} | {ns:8.1f} | {floor:<28} | {floor_ns:8.1f} | {ns / floor_ns:6.2f} |")
    print()
