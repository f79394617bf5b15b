"""Finding a game's variables in memory by how they change while it is played."""

from __future__ import annotations

import numbers
from collections.abc import Iterable

import numpy as np

from velkora_gym.batch import Batch
from velkora_gym.integration.errors import IntegrationError
from velkora_gym.integration.folders import decode, parse_type

RAM_SIZE, PRG_RAM_SIZE = 0x0800, 0x2000
PRG_RAM_START = 0x6000

#: What ``narrow`` can test.
OPS = ("equal", "not-equal", "less-than", "greater-than", "increased", "decreased", "changed", "unchanged")
DEFAULT_TYPES = ("|u1", "|i1", "<u2", ">u2")


def address_of(offset: int) -> int:
    """The CPU address of an offset into RAM followed by PRG RAM."""
    return offset if offset < RAM_SIZE else offset - RAM_SIZE + PRG_RAM_START


class _Type:
    def __init__(self, text: str) -> None:
        try:
            self.kind, self.size, self.big_endian = parse_type(text, "types")
        except IntegrationError as error:
            raise ValueError(str(error)) from None
        self.text = text
        # A value lies wholly in RAM or wholly in PRG RAM, as data.json requires.
        self.starts = np.concatenate(
            (np.arange(0, RAM_SIZE - self.size + 1), np.arange(RAM_SIZE, RAM_SIZE + PRG_RAM_SIZE - self.size + 1))
        )
        self.span = np.arange(self.size)

    def values(self, memory: np.ndarray, offsets: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The value at each offset and whether it is a number of this type at all (a BCD
        digit above 9 is not)."""
        raw = memory[offsets[:, None] + self.span]
        if self.kind == "d":
            valid = ((raw & 0x0F) <= 9).all(axis=1) & ((raw >> 4) <= 9).all(axis=1)
        elif self.kind == "n":
            valid = ((raw & 0x0F) <= 9).all(axis=1)
        else:
            valid = np.ones(len(offsets), bool)
        return decode(raw, self.kind, self.big_endian), valid


class RamSearch:
    """Candidates for a variable among the 2 KiB of RAM and the 8 KiB of PRG RAM of a
    console: a ``velkora.NES``, or console ``index`` of a ``Batch`` made with
    ``prg_ram=True``.

    Every address starts as a candidate of every type in ``types`` (data.json's types:
    ``|u1``, ``<u2``, ``>d3``, ``>n6`` ...). ``narrow(op, value)`` keeps those whose value
    now passes ``op`` against ``value`` or, with no value, against their value at the
    previous narrow (or at the start). A value with a BCD digit above 9 is no candidate of
    a BCD type. Addresses are CPU addresses, as data.json writes them.
    """

    def __init__(self, console: object, index: int | None = None, *, types: Iterable[str] = DEFAULT_TYPES) -> None:
        import velkora

        if isinstance(console, velkora.NES):
            if index is not None:
                raise TypeError("index is for a Batch's console; a velkora.NES is one console")
            view = console.cpuMem()
            self._views = (view[:RAM_SIZE], view[PRG_RAM_START : PRG_RAM_START + PRG_RAM_SIZE])
        elif isinstance(console, Batch):
            if isinstance(index, bool) or not isinstance(index, numbers.Integral):
                raise TypeError("RamSearch(batch, index): index must be the console's number")
            if not 0 <= index < console.num_consoles:
                raise IndexError(f"console {index} of a batch of {console.num_consoles}")
            if console.prg_ram is None:
                raise ValueError(
                    "RamSearch watches PRG RAM too, which this batch does not keep: "
                    "make it with Batch(..., prg_ram=True)"
                )
            self._views = (console.ram[int(index)], console.prg_ram[int(index)])
        else:
            raise TypeError(f"RamSearch needs a velkora.NES or a velkora_gym.Batch, not {type(console).__name__}")
        if isinstance(types, str):
            types = [types]
        self._types = [_Type(text) for text in dict.fromkeys(types)]
        if not self._types:
            raise ValueError("types must name at least one type")
        self._offsets: list[np.ndarray] = []
        self._previous: list[np.ndarray] = []
        self.reset()

    @property
    def types(self) -> list[str]:
        return [t.text for t in self._types]

    def memory(self) -> np.ndarray:
        """RAM and PRG RAM now, 10240 bytes."""
        return np.concatenate(self._views)

    def reset(self) -> None:
        """Every address a candidate again, its value now the one to compare with."""
        memory = self.memory()
        self._offsets, self._previous = [], []
        for kind in self._types:
            value, valid = kind.values(memory, kind.starts)
            self._offsets.append(kind.starts[valid])
            self._previous.append(value[valid])

    def narrow(self, op: str, value: float | None = None) -> int:
        """Keeps the candidates that pass `op`; returns how many are left.

        ``equal``, ``not-equal``, ``less-than``, ``greater-than`` compare with `value` or,
        without one, with the value at the previous narrow; ``increased`` and ``decreased``
        mean by any amount, or by exactly `value`; ``changed`` and ``unchanged`` take no value.
        """
        if op not in OPS:
            raise ValueError(f"op must be one of {', '.join(OPS)}, not {op!r}")
        if value is not None:
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError(f"value must be a number, not {value!r}")
            if op in ("changed", "unchanged"):
                raise ValueError(f"{op} compares with the previous value and takes no value")
        memory = self.memory()
        for i, kind in enumerate(self._types):
            current, valid = kind.values(memory, self._offsets[i])
            before = self._previous[i]
            against = before if value is None else value
            if op == "equal":
                keep = current == against
            elif op == "not-equal":
                keep = current != against
            elif op == "less-than":
                keep = current < against
            elif op == "greater-than":
                keep = current > against
            elif op == "increased":
                keep = current > before if value is None else current - before == value
            elif op == "decreased":
                keep = current < before if value is None else before - current == value
            elif op == "changed":
                keep = current != before
            else:
                keep = current == before
            keep &= valid
            self._offsets[i] = self._offsets[i][keep]
            self._previous[i] = current[keep]
        return len(self)

    def __len__(self) -> int:
        return sum(len(offsets) for offsets in self._offsets)

    def candidates(self, limit: int | None = None) -> list[tuple[int, str, int]]:
        """(address, type, value now) of the candidates, by address then type; the first
        `limit` of them when given."""
        memory = self.memory()
        found: list[tuple[int, int, str, int]] = []
        for order, kind in enumerate(self._types):
            offsets = self._offsets[order] if limit is None else self._offsets[order][:limit]
            values, _ = kind.values(memory, offsets)
            found += zip(offsets.tolist(), [order] * len(offsets), [kind.text] * len(offsets), values.tolist())
        found.sort()
        if limit is not None:
            found = found[:limit]
        return [(address_of(offset), text, value) for offset, _, text, value in found]

    def __repr__(self) -> str:
        return f"<RamSearch of {' '.join(self.types)}: {len(self)} candidates>"
