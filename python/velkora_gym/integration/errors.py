"""The error of a malformed integration folder, raised by its reading and by its Lua."""

from __future__ import annotations


class IntegrationError(ValueError):
    """A malformed integration folder. The message names the file and the key of each
    problem, one a line; ``problems`` holds them one by one."""

    def __init__(self, problems: str | list[str]) -> None:
        self.problems = [problems] if isinstance(problems, str) else list(problems)
        super().__init__("\n".join(self.problems))
