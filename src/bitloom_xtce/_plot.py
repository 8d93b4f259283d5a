"""decode --plot: chosen parameters over time, or over the packet's place in the file."""
from __future__ import annotations

import pathlib

import numpy as np

from . import Definition, FileResult

MAX_LABELS = 40  # more distinct labels than this and the axis shows none


def axis_label(definition: Definition, name: str) -> str:
    units = definition.parameters[name].type.units
    return f"{name} ({units})" if units else name


def _drawable(values: np.ndarray) -> np.ndarray:
    """Durations as seconds (matplotlib draws datetime64, not timedelta64)."""
    return values / np.timedelta64(1, "s") if values.dtype.kind == "m" else values


def _levels(values: np.ndarray) -> tuple[list[str], np.ndarray]:
    """Labels of an enumeration, booleans or text as steps: the distinct values, sorted, and
    each row's position among them. A row without a label (a raw value the enumeration does not
    name) shows as "(none)"."""
    texts = np.array(["(none)" if v is None else str(v) for v in values.tolist()], dtype=object)
    levels, codes = np.unique(texts, return_inverse=True)
    return [str(level) for level in levels], codes


def plot(definition: Definition, tables: FileResult, names: list[str], time: str | None,
         path: pathlib.Path) -> list[str]:
    """One panel per parameter: its values over `time` (a parameter), or without it over the
    index of each row's packet in the file (so containers share one axis), one line per
    container that holds it. Numbers and times are drawn as lines (datetime64 on a date axis,
    durations in seconds), labels (enumerations, booleans, text)
    as steps. Returns what was left out, as sentences."""
    import matplotlib
    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    notes = []
    panels: dict[str, list[tuple[str, np.ndarray, np.ndarray]]] = {}
    for name in names:
        holders = [container for container, columns in tables.items() if name in columns]
        if not holders:
            notes.append(f"{name}: in no decoded packet")
        for container in holders:
            columns = tables[container]
            if time is not None and time not in columns:
                notes.append(f"{name} of container {container!r}: it has no {time}")
                continue
            x = tables.packet_index[container] if time is None else _drawable(columns[time])
            panels.setdefault(name, []).append((container, x, _drawable(columns[name])))
    if not panels:
        return notes
    fig, axes = plt.subplots(len(panels), 1, sharex=True, squeeze=False, layout="constrained",
                             figsize=(10, 1.2 + 2.3 * len(panels)))
    for ax, (name, lines) in zip(axes[:, 0], panels.items()):
        labelled = any(values.dtype.kind not in "iufM" for _, _, values in lines)
        if labelled:  # one set of levels for all the panel's lines
            every = np.concatenate([values.astype(object) for _, _, values in lines])
            levels, codes = _levels(every)
            ends = np.cumsum([len(values) for _, _, values in lines])
            for (container, x, _), rows in zip(lines, np.split(codes, ends[:-1])):
                ax.step(x, rows, where="post", linewidth=0.7, label=container)
            if len(levels) <= MAX_LABELS:
                ax.set_yticks(range(len(levels)), levels)
        else:
            for container, x, values in lines:
                ax.plot(x, values, linewidth=0.7, marker="." if len(values) < 200 else None, label=container)
        ax.set_ylabel(axis_label(definition, name))
        ax.grid(True, alpha=0.3)
        if len(lines) > 1:
            ax.legend(fontsize="small")
    axes[-1, 0].set_xlabel(axis_label(definition, time) if time is not None else "packet index in the file")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return notes
