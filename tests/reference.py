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
