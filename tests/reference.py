"""Obviously-correct reference implementations that the tests compare the
native code against."""


def levenshtein(a: str, b: str) -> int:
    """Plain two-row Levenshtein distance: unit insert, delete, substitute."""
    previous = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        current = [i]
        for j, cb in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (ca != cb)))
        previous = current
    return previous[-1]


def osa(a: str, b: str) -> int:
    """Optimal string alignment distance: Levenshtein plus the swap of two
    adjacent characters as one edit (no substring edited twice)."""
    rows = [list(range(len(b) + 1))]
    for i, ca in enumerate(a, 1):
        row = [i]
        for j, cb in enumerate(b, 1):
            best = min(rows[i - 1][j] + 1, row[j - 1] + 1, rows[i - 1][j - 1] + (ca != cb))
            if i > 1 and j > 1 and ca == b[j - 2] and a[i - 2] == cb:
                best = min(best, rows[i - 2][j - 2] + 1)
            row.append(best)
        rows.append(row)
    return rows[-1][-1]


def completion_distance(key: str, prefix: str, transpositions: bool = False) -> int:
    """The smallest distance between ``prefix`` and a beginning of ``key``."""
    distance = osa if transpositions else levenshtein
    return min(distance(key[:i], prefix) for i in range(len(key) + 1))
