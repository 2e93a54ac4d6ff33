"""Text tables: empty cells, header rows, a leading time or label column,
column selection, and the way back to the same text."""
import numpy as np
import pytest

from quorvane_tools.formats.table import read_table, write_table
from quorvane_tools.signal_files import SignalFileError

NAN = float("nan")


def _values(data):
    return [channel.tolist() for channel in data.channels]


@pytest.mark.parametrize(
    "name,text,channels,columns,leading",
    [
        ("gaps.csv", "x,y\n1,\n,2\n3,4\n", [[1, NAN, 3], [NAN, 2, 4]], ["x", "y"], None),
        ("one.csv", "v\n1\n2\n", [[1, 2]], ["v"], None),
        ("plain.txt", "# note\n1 2\n3 nan\n", [[1, 3], [2, NAN]], None, None),
        ("tabs.tsv", "a\tb\n1\t\n2\t5\n", [[1, 2], [NAN, 5]], ["a", "b"], None),
        ("labels.csv", "site,v\nfoo,1\nbar,2\n", [[1, 2]], ["v"], {"name": "site", "values": ["foo", "bar"]}),
        ("nohead.csv", "2024-01-01 10:00,1\n2024-01-01 10:05,\n",
         [[1, NAN]], None, {"name": None, "values": ["2024-01-01 10:00", "2024-01-01 10:05"]}),
    ],
)
def test_read_table(tmp_path, name, text, channels, columns, leading):
    (tmp_path / name).write_text(text)
    data = read_table(tmp_path / name)
    np.testing.assert_array_equal(_values(data), channels)
    assert data.columns == columns
    assert data.extra.get("leading_column") == leading


def test_regular_time_axis_is_stored_as_start_and_step(tmp_path):
    times = [f"2024-03-01T12:00:{second:02d}.500" for second in range(0, 60, 2)]
    text = "when,p\n" + "".join(f"{t},{i}\n" for i, t in enumerate(times))
    (tmp_path / "t.csv").write_text(text)
    data = read_table(tmp_path / "t.csv")
    leading = data.extra["leading_column"]
    assert "values" not in leading
    assert (leading["start"], leading["step"], leading["unit"], leading["count"]) == (times[0], 2000, "ms", 30)
    assert data.sample_rate is None  # 0.5 Hz is not a whole rate
    write_table(tmp_path / "back.csv", ".csv", np.stack(data.channels, axis=1),
                dict(data.metadata(), extra=data.extra))
    assert (tmp_path / "back.csv").read_text() == text


def test_whole_rate_of_a_time_axis(tmp_path):
    (tmp_path / "r.csv").write_text("t,v\n2024-01-01T00:00:00.000,1\n2024-01-01T00:00:00.100,2\n"
                                    "2024-01-01T00:00:00.200,3\n")
    assert read_table(tmp_path / "r.csv").sample_rate == 10


@pytest.mark.parametrize("name,text", [
    ("gaps.csv", "x,y\n1,\n,2.5\n3,4\n"),
    ("lab.csv", "site,v\nfoo,1\nbar,\n"),
    ("w.txt", "1 nan\n-2 3\n"),
])
def test_text_comes_back_as_written(tmp_path, name, text):
    (tmp_path / name).write_text(text)
    data = read_table(tmp_path / name)
    out = tmp_path / ("out" + name)
    meta = dict(data.metadata(), extra=data.extra)
    write_table(out, out.suffix, np.stack(data.channels, axis=1), meta)
    assert out.read_text() == text


def test_leading_column_of_other_rows_is_dropped(tmp_path):
    (tmp_path / "l.csv").write_text("site,v\nfoo,1\nbar,2\n")
    data = read_table(tmp_path / "l.csv")
    write_table(tmp_path / "o.csv", ".csv", np.array([[1.0], [2.0], [3.0]]), dict(data.metadata(), extra=data.extra))
    assert (tmp_path / "o.csv").read_text() == "v\n1\n2\n3\n"


TABLE = "time,x,y,z\n2024-01-01,1,2,3\n2024-01-02,4,5,6\n"


@pytest.mark.parametrize(
    "spec,columns,first",
    [
        (["y"], ["y"], [2, 5]),
        (["z,x"], ["z", "x"], [3, 6]),
        (["3", "2"], ["y", "x"], [2, 5]),
        (["-y"], ["x", "z"], [1, 4]),
        (["-1,-x"], ["y", "z"], [2, 5]),
        (["x,y", "-y"], ["x"], [1, 4]),
    ],
)
def test_column_selection(tmp_path, spec, columns, first):
    (tmp_path / "s.csv").write_text(TABLE)
    data = read_table(tmp_path / "s.csv", columns=spec)
    assert data.columns == columns
    assert data.channels[0].tolist() == first
    assert data.shape == [2, len(columns)]


@pytest.mark.parametrize(
    "text,spec,message",
    [
        (TABLE, ["w"], "no column named 'w'; the columns are time, x, y, z"),
        (TABLE, ["5"], r"column 5 does not exist \(the file has 4, counted from 1\)"),
        (TABLE, ["time"], "line 2, column 1: cannot read '2024-01-01' as a number"),
        (TABLE, ["-x,-y,-z"], "no numeric column left to compress"),
        ("1,2\n3,4\n", ["x"], "no column named 'x'; the file has no header row, use numbers"),
    ],
)
def test_bad_column_selection(tmp_path, text, spec, message):
    (tmp_path / "s.csv").write_text(text)
    with pytest.raises(SignalFileError, match=message):
        read_table(tmp_path / "s.csv", columns=spec)


@pytest.mark.parametrize(
    "text,message",
    [
        ("", "holds no rows of numbers"),
        ("# only a comment\n", "holds no rows of numbers"),
        ("x,y\n", "has a header row but no numbers"),
        ("x,y,z\n1,2\n", "the header names 3 columns, the rows hold 2"),
        ("x,y\n1,2\n3\n", "line 3: expected 2 columns, found 1"),
        ("x,y\n1,2\n3,abc\n", "line 3, column 2: cannot read 'abc' as a number"),
        ("a,b,c\n1,x,3\n", "line 2, column 2: cannot read 'x' as a number"),
        ("name\nfoo\n", "line 2, column 1: cannot read 'foo' as a number"),
    ],
)
def test_unreadable_tables(tmp_path, text, message):
    (tmp_path / "bad.csv").write_text(text)
    with pytest.raises(SignalFileError, match=message):
        read_table(tmp_path / "bad.csv")
