import pathlib
import pickle

import pytest

from tavol.util import others


def test_surface():
    assert others.__all__ == ["find_duplicate"]
    assert pickle.loads(pickle.dumps(others.find_duplicate)) is others.find_duplicate


@pytest.mark.parametrize(
    "items, printed, counts",
    [
        ([], "[]\n{}\n", {}),
        (["a", "b"], "[]\n{}\n", {"a": 1, "b": 1}),
        (
            ["a.wav", "b.wav", "a.wav", "c.wav", "c.wav", "c.wav"],
            "['a.wav', 'c.wav']\n{'a.wav': 2, 'c.wav': 3}\n",
            {"a.wav": 2, "b.wav": 1, "c.wav": 3},
        ),
        # Repeats are listed in first-occurrence order, not by count.
        (["z", "y", "y", "z", "z"], "['z', 'y']\n{'z': 3, 'y': 2}\n", {"z": 3, "y": 2}),
    ],
)
def test_counts_and_report(capsys, items, printed, counts):
    result = others.find_duplicate(items)
    assert capsys.readouterr().out == printed
    assert type(result) is dict
    assert result == counts
    assert list(result) == list(counts)


def test_elements_compared_by_equality_only(capsys):
    result = others.find_duplicate([pathlib.Path("a.wav"), "a.wav", "a.wav"])
    assert result == {pathlib.Path("a.wav"): 1, "a.wav": 2}
    assert capsys.readouterr().out == "['a.wav']\n{'a.wav': 2}\n"


def test_strings_and_mappings(capsys):
    assert others.find_duplicate(file_list="abca") == {"a": 2, "b": 1, "c": 1}
    # A mapping is taken as ready-made counts.
    assert others.find_duplicate({"x": 3, "y": 1}) == {"x": 3, "y": 1}
    assert capsys.readouterr().out.splitlines()[-2:] == ["['x']", "{'x': 3}"]


def test_unhashable_element_raises_before_printing(capsys):
    with pytest.raises(TypeError):
        others.find_duplicate([["a"], ["a"]])
    assert capsys.readouterr().out == ""
