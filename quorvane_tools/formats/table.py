"""Numeric text columns: CSV, TSV and whitespace- or comma-separated text.

One channel per column. An optional header row names the columns, `#`
lines are comments, an empty cell is a missing sample and becomes NaN.
A leading column that does not read as numbers (timestamps, labels) is not
compressed but kept beside the channels, so that the restored file has it
again: as start and step when it is a regular ISO 8601 time axis, else
cell by cell. `select_columns` implements `--columns`: names or 1-based
indices select (in the order given), a leading '-' skips.
"""
from __future__ import annotations

import csv
import io
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from ..signal_files import SignalData, SignalFileError
from . import recorded

TIME_KEY = "leading_column"
Rows = List[Tuple[int, List[str]]]


def delimiter_for(suffix: str, text: str) -> Optional[str]:
    """',' for .csv, tab for .tsv; other text: ',' if its first data line has one, else any whitespace."""
    if suffix == ".csv":
        return ","
    if suffix == ".tsv":
        return "\t"
    for line in text.splitlines():
        if line.strip() and not line.lstrip().startswith("#"):
            return "," if "," in line else None
    return None


def split_rows(text: str, delimiter: Optional[str]) -> Rows:
    """(line number, cells) of every row that is not blank or a comment."""
    rows: Rows = []
    if delimiter is None:
        for number, line in enumerate(text.splitlines(), start=1):
            if line.strip() and not line.lstrip().startswith("#"):
                rows.append((number, line.split()))
        return rows
    reader = csv.reader(io.StringIO(text), delimiter=delimiter)
    for cells in reader:
        if not cells or all(not cell.strip() for cell in cells) or cells[0].lstrip().startswith("#"):
            continue
        rows.append((reader.line_num, cells))
    return rows


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _is_number_or_empty(cell: str) -> bool:
    return not cell.strip() or _is_number(cell)


def read_table(path: Path, columns: Optional[Sequence[str]] = None, text: Optional[str] = None) -> SignalData:
    """Reads a text table; `columns` is the `--columns` selection (see `select_columns`)."""
    if text is None:
        text = path.read_text(encoding="utf-8-sig")
    suffix = path.suffix.lower()
    delimiter = delimiter_for(suffix, text)
    rows = split_rows(text, delimiter)
    if not rows:
        raise SignalFileError(f"{path}: holds no rows of numbers")
    names: Optional[List[str]] = None
    if _is_header(rows[0][1]):
        names = [cell.strip() for cell in rows[0][1]]
        rows = rows[1:]
        if not rows:
            raise SignalFileError(f"{path}: has a header row but no numbers")
    width = len(rows[0][1])
    for line, cells in rows:
        if len(cells) != width:
            raise SignalFileError(f"{path}: line {line}: expected {width} columns, found {len(cells)}")
    if names is not None and len(names) != width:
        raise SignalFileError(f"{path}: the header names {len(names)} columns, the rows hold {width}")

    leading: Optional[Dict[str, Any]] = None
    first = [cells[0].strip() for _, cells in rows]
    numeric_start = 0
    if width > 1 and not all(_is_number_or_empty(cell) for cell in first):
        leading = describe_leading_column(first, names[0] if names else None)
        numeric_start = 1
    wanted = list(range(numeric_start, width))
    if columns:
        wanted = select_columns(path, columns, names, width, numeric_start)
    if not wanted:
        raise SignalFileError(f"{path}: no numeric column left to compress")

    channels = [_column_values(path, rows, index) for index in wanted]
    chosen_names = [names[index] for index in wanted] if names is not None else None
    extra: Dict[str, Any] = {"delimiter": delimiter}
    if leading is not None:
        extra[TIME_KEY] = leading
    rate = leading.get("sample_rate") if leading else None
    return SignalData(
        channels=channels,
        source="csv",
        dtype="float64",
        shape=[len(rows), len(channels)],
        sample_rate=rate,
        columns=chosen_names,
        extra=extra,
    )


def _is_header(cells: List[str]) -> bool:
    """Text among the cells after the first (which may be a time or a label),
    or a lone text cell, makes the first row a row of names."""
    if len(cells) == 1:
        return not _is_number_or_empty(cells[0])
    return not all(_is_number_or_empty(cell) for cell in cells[1:])


def _column_values(path: Path, rows: Rows, index: int) -> npt.NDArray[np.float64]:
    cells = [cells[index].strip() for _, cells in rows]
    try:
        # NumPy parses 'nan' and 'inf' itself; the empty cell is a missing sample.
        return np.array([cell if cell else "nan" for cell in cells]).astype(np.float64)
    except ValueError:
        pass
    for (line, _), cell in zip(rows, cells):
        if cell and not _is_number(cell):
            raise SignalFileError(f"{path}: line {line}, column {index + 1}: cannot read {cell!r} as a number")
    raise SignalFileError(f"{path}: column {index + 1} does not read as numbers")  # pragma: no cover


def select_columns(
    path: Path, selection: Sequence[str], names: Optional[List[str]], width: int, first_numeric: int = 0
) -> List[int]:
    """0-based indices of the columns `selection` picks.

    Each item is a column name or a 1-based index; items may be comma-
    separated. Items with a leading '-' skip that column; when there are
    only skips, every numeric column not skipped is kept, in file order.
    """
    chosen: List[int] = []
    skipped: List[int] = []
    for item in (part.strip() for entry in selection for part in entry.split(",")):
        if not item:
            continue
        skip = item.startswith("-") and item != "-"
        key = item[1:] if skip else item
        index = _column_index(path, key, names, width)
        target = skipped if skip else chosen
        if index not in target:
            target.append(index)
    if not chosen:
        chosen = list(range(first_numeric, width))
    return [index for index in chosen if index not in skipped]


def _column_index(path: Path, key: str, names: Optional[List[str]], width: int) -> int:
    if names is not None and key in names:
        return names.index(key)
    if key.isdigit():
        number = int(key)
        if 1 <= number <= width:
            return number - 1
        raise SignalFileError(f"{path}: column {number} does not exist (the file has {width}, counted from 1)")
    known = f"; the columns are {', '.join(names)}" if names else "; the file has no header row, use numbers"
    raise SignalFileError(f"{path}: no column named {key!r}{known}")


# ---------------------------------------------------------------- the leading column


def describe_leading_column(cells: List[str], name: Optional[str]) -> Dict[str, Any]:
    """What to store of a leading text column: start and step of a regular
    ISO 8601 time axis that prints back to the same cells, else the cells."""
    described: Dict[str, Any] = {"name": name}
    axis = _regular_time_axis(cells)
    if axis is None:
        described["values"] = cells
        return described
    start, step, unit = axis
    unit_: Any = unit
    described.update(start=cells[0], step=int(step), unit=unit, count=len(cells))
    seconds = float(np.timedelta64(int(step), unit_) / np.timedelta64(1, "s"))
    if float(1.0 / seconds).is_integer():
        described["sample_rate"] = int(1.0 / seconds)
    return described


def _regular_time_axis(cells: List[str]) -> Optional[Tuple[Any, int, str]]:
    if len(cells) < 2:
        return None
    try:
        times = np.array(cells, dtype="datetime64")
    except ValueError:
        return None
    unit: Any = np.datetime_data(times.dtype)[0]
    if unit not in ("D", "h", "m", "s", "ms", "us", "ns"):
        return None
    ticks = times.astype(np.int64)
    steps = np.diff(ticks)
    if steps[0] <= 0 or np.any(steps != steps[0]):
        return None
    if list(np.datetime_as_string(times, unit=unit)) != cells:
        return None  # some other spelling of the times: keep it cell by cell
    return times[0], int(steps[0]), unit


def leading_column_cells(described: Dict[str, Any]) -> List[str]:
    """The cells `describe_leading_column` stored, spelt as they were."""
    if "values" in described:
        return [str(value) for value in described["values"]]
    unit: Any = str(described["unit"])
    start = np.datetime64(described["start"], unit)
    offsets = np.arange(int(described["count"]), dtype=np.int64) * int(described["step"])
    times = start + offsets.astype(f"timedelta64[{unit}]")
    return list(np.datetime_as_string(times, unit=unit))


# ---------------------------------------------------------------- writing


def write_table(path: Path, suffix: str, columns: npt.NDArray[Any], meta: Dict[str, Any]) -> None:
    """Writes columns as text: the header row and leading column recorded in
    `meta` come back, NaN becomes an empty cell again (`nan` in
    whitespace-separated text, where an empty cell cannot exist)."""
    delimiter = {".csv": ",", ".tsv": "\t"}.get(suffix, recorded(meta, "delimiter") or " ")
    leading = recorded(meta, TIME_KEY)
    lead_cells = leading_column_cells(leading) if leading else None
    if lead_cells is not None and len(lead_cells) != columns.shape[0]:
        lead_cells = None  # not the same rows any more: the column would mislead
    missing = "" if delimiter.strip() else "nan"
    with open(path, "w", encoding="utf-8", newline="") as handle:
        names = meta.get("columns")
        if names and len(names) == columns.shape[1]:
            header = [str(name) for name in names]
            if lead_cells is not None and leading is not None:
                header.insert(0, str(leading.get("name") or "time"))
            handle.write(delimiter.join(header) + "\n")
        # float32 values need at most 9 significant digits to read back exactly.
        values = columns.astype(np.float64)
        text = np.char.mod("%.9g", values)
        text[np.isnan(values)] = missing
        for index, row in enumerate(text):
            cells = list(row)
            if lead_cells is not None:
                cells.insert(0, lead_cells[index])
            handle.write(delimiter.join(cells) + "\n")
