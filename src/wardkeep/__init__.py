"""wardkeep: identities of authenticated and anonymous users."""

__all__ = ["Identity"]


class Identity:
    __slots__ = ("claims", "authentication_mode")

    def __init__(self, claims: dict = None, authentication_mode: str = None):
        self.claims = claims if claims is not None else {}
        self.authentication_mode = authentication_mode

    def is_authenticated(self) -> bool:
        return bool(self.authentication_mode)

    @property
    def sub(self):
        return self.claims.get("sub")

    def __getitem__(self, name):
        return self.claims[name]

    def get(self, name, default=None):
        return self.claims.get(name, default)

    def __repr__(self):
        return f"<Identity {self.authentication_mode!r} {self.claims!r}>"
