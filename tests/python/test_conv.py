import os
import pickle

import numpy as np
import openpyxl
import pandas as pd
import pytest

from tavol.util import conv


def test_surface():
    assert conv.__all__ == ["data2xlsx", "lowercase", "upercase"]
    assert conv.pd is pd
    for name in conv.__all__:
        fn = getattr(conv, name)
        assert pickle.loads(pickle.dumps(fn)) is fn


def read_sheets(path):
    book = openpyxl.load_workbook(path)
    return {ws.title: [list(row) for row in ws.iter_rows(values_only=True)] for ws in book}


def test_new_workbook_creates_folders_and_keeps_default_widths(tmp_path, capsys):
    target = tmp_path / "a" / "b" / "scores.xlsx"
    table = pd.DataFrame({"method": ["noisy", "enhanced-long-name"], "pesq": [1.5, 2.75]})
    assert conv.data2xlsx(table, str(target), "run1") is None
    assert read_sheets(target) == {
        "run1": [["method", "pesq"], ["noisy", 1.5], ["enhanced-long-name", 2.75]]
    }
    # No fitting on a fresh workbook, whatever fit_column says.
    ws = openpyxl.load_workbook(target)["run1"]
    assert ws.column_dimensions["A"].width == pytest.approx(13, abs=0.5)
    assert capsys.readouterr().out == ""


def test_append_replace_and_fit_columns(tmp_path):
    target = tmp_path / "book.xlsx"
    conv.data2xlsx({"x": [1, 2]}, target, "first")
    second = pd.DataFrame({"twelve_chars": ["ab", "abcdefghijk"], "s": ["a", "bc"]})
    # With the index written, the corner cell above it stays empty.
    assert conv.data2xlsx(second, target, "second", True) is None
    sheets = read_sheets(target)
    assert list(sheets) == ["first", "second"]
    assert sheets["first"] == [["x"], [1], [2]]

    ws = openpyxl.load_workbook(target)["second"]
    assert ws.column_dimensions["A"].width == 4  # labels 0, 1 and the empty corner ("None")
    assert ws.column_dimensions["B"].width == 12  # header "twelve_chars"
    assert ws.column_dimensions["C"].width == 2

    # The same name replaces the sheet, in place; the other sheet stays.
    conv.data2xlsx({"y": ["replaced"]}, target, "first", fit_column=False)
    sheets = read_sheets(target)
    assert list(sheets) == ["first", "second"]
    assert sheets["first"] == [["y"], ["replaced"]]


def test_index_written_as_first_column(tmp_path):
    target = tmp_path / "idx.xlsx"
    table = pd.DataFrame({"v": [1]}, index=["row-label"])
    conv.data2xlsx(table, target, "s", index=True)
    assert read_sheets(target)["s"] == [[None, "v"], ["row-label", 1]]
    conv.data2xlsx(table, target, "s", True, True)
    ws = openpyxl.load_workbook(target)["s"]
    assert ws.column_dimensions["A"].width == len("row-label")


def test_bare_file_name_goes_to_current_folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert conv.data2xlsx({"a": [1]}, "bare.xlsx", "s") is None
    assert conv.data2xlsx({"b": [2]}, "bare.xlsx", "t") is None
    assert list(read_sheets(tmp_path / "bare.xlsx")) == ["s", "t"]


def test_bad_dict_is_reported_and_nothing_written(tmp_path, capsys):
    target = tmp_path / "sub" / "bad.xlsx"
    with pytest.raises(ValueError) as expected:
        pd.DataFrame.from_dict({"a": [1, 2], "b": [1]}, orient="columns")
    result = conv.data2xlsx({"a": [1, 2], "b": [1]}, target, "s")
    assert result == "[data2xlsx] data error: " + str(expected.value)
    assert capsys.readouterr().out == str(expected.value) + "\n"
    assert not (tmp_path / "sub").exists()


@pytest.mark.parametrize("data", [[1, 2], np.arange(3), None, "text"])
def test_other_data_types_are_refused_quietly(tmp_path, capsys, data):
    target = tmp_path / "x" / "t.xlsx"
    assert conv.data2xlsx(data, target, "s") == "[data2xlsx] check the data type"
    assert capsys.readouterr().out == ""
    assert not target.parent.exists()


def test_old_pandas_is_refused(tmp_path, capsys, monkeypatch):
    # The version text is compared as text.
    monkeypatch.setattr(pd, "__version__", "0.25.3")
    target = tmp_path / "x" / "t.xlsx"
    assert conv.data2xlsx({"a": [1]}, target, "s") is None
    assert capsys.readouterr().out == "Need pandas version >= 1.0.3\n"
    assert not target.parent.exists()


def test_write_errors_propagate(tmp_path):
    not_a_book = tmp_path / "plain.xlsx"
    not_a_book.write_text("not a workbook")
    with pytest.raises(Exception) as raised:
        conv.data2xlsx({"a": [1]}, not_a_book, "s")
    assert not isinstance(raised.value, AssertionError)
    assert not_a_book.read_text() == "not a workbook"


def test_case_helpers():
    items = ["Hello", 3, None, "WoRLD"]
    assert conv.lowercase(items) == ["hello", "world"]
    assert conv.upercase(lst=items) == ["HELLO", "WORLD"]
    assert items == ["Hello", 3, None, "WoRLD"]
    assert conv.lowercase([]) == []
    assert conv.upercase(("a", b"b")) == ["A"]
    with pytest.raises(TypeError):
        conv.lowercase(5)


TZ_TABLE = pd.DataFrame({"t": pd.to_datetime(["2024-01-01"]).tz_localize("UTC")})
# (into an existing workbook?, data, sheet): each raises inside pandas or openpyxl,
# the first after the writer has dropped the sheet it replaces.
FAILING_WRITES = {
    "replace_sheet_with_unwritable_table": (True, TZ_TABLE, "S"),
    "invalid_sheet_name_in_existing_book": (True, {"a": [1]}, "bad[name]"),
    "invalid_sheet_name_in_new_book": (False, {"a": [1]}, "bad[name]"),
    "unwritable_table_in_new_book": (False, TZ_TABLE, "S"),
}


@pytest.mark.parametrize("case", FAILING_WRITES)
def test_failed_write_leaves_the_file_as_it_was(tmp_path, case):
    existing, data, sheet = FAILING_WRITES[case]
    target = tmp_path / "book.xlsx"
    if existing:
        conv.data2xlsx({"keep": [1, 2]}, target, "S")
        conv.data2xlsx({"other": [3]}, target, "T")
        before = target.read_bytes()
    with pytest.raises(Exception) as raised:
        conv.data2xlsx(data, target, sheet)
    assert not isinstance(raised.value, AssertionError)
    if existing:
        assert target.read_bytes() == before
    else:
        assert not target.exists()
    assert [p.name for p in tmp_path.iterdir()] == (["book.xlsx"] if existing else [])
