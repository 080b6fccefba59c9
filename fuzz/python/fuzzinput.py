"""A small reader of fuzz inputs: every target draws its choices from the
input bytes through it, so a corpus file means the same test under atheris
and in the test suite's replay (which runs without atheris)."""


class Input:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    @property
    def done(self) -> bool:
        return self.pos >= len(self.data)

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def int(self, n: int) -> int:
        """A number in range(n), n at most 65536."""
        if n <= 1:
            return 0
        if n <= 256:
            return self.byte() % n
        return (self.byte() << 8 | self.byte()) % n

    def bool(self) -> bool:
        return bool(self.byte() & 1)

    def choice(self, seq):
        return seq[self.int(len(seq))]

    def bytes(self, limit: int) -> bytes:
        n = self.int(limit + 1)
        out = self.data[self.pos:self.pos + n]
        self.pos += len(out)
        return out

    def text(self, limit: int) -> str:
        return self.bytes(limit).decode("utf-8", "surrogateescape")

    def rest(self) -> bytes:
        out = self.data[self.pos:]
        self.pos = len(self.data)
        return out
