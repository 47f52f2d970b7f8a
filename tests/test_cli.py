"""The sorvane command: cluster (CSV / .npy / .npz in, labels CSV out, optional plot) and demo."""

import csv
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import sorvane
from sorvane import cli, demo, plotting


@pytest.fixture(scope="module")
def two_blobs():
    """Two well-separated blobs of 15 samples; string classes, three given per blob."""
    rng = np.random.default_rng(11)
    truth = np.repeat(["left", "right"], 15)
    X = np.where(truth[:, None] == "left", 0.0, 20.0) + rng.normal(scale=0.8, size=(30, 2))
    cells = np.array([""] * 30, dtype=object)
    cells[[0, 1, 2]] = "left"
    cells[[15, 16, 17]] = "right"
    cells[[5, 20]] = "-1"  # the other spelling of "unlabeled"
    return X, cells, truth


def _write_csv(path, X, cells):
    with open(path, "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["x", "class", "y"])  # label column between the features
        for (a, b), cell in zip(X, cells):
            writer.writerow([repr(float(a)), cell, repr(float(b))])


def _read_labels(path):
    with open(path, newline="") as handle:
        rows = list(csv.reader(handle))
    return rows[0], [row[0] for row in rows[1:]]


@pytest.mark.parametrize("method", ["graph", "tree", "density"])
def test_cluster_csv_round_trip(method, two_blobs, tmp_path, capsys):
    X, cells, truth = two_blobs
    data, out = tmp_path / "data.csv", tmp_path / "out.csv"
    _write_csv(data, X, cells)
    extra = ["--k", "4"] if method == "graph" else ["--min-samples", "3"] if method == "density" else []
    status = cli.main(["cluster", str(data), "--method", method, "--labels", "class", "--output", str(out), *extra])
    assert status == 0
    header, labels = _read_labels(out)
    assert header == ["class"]
    assert labels == list(truth)
    assert "30 labels written" in capsys.readouterr().out


def test_integer_label_cells_stay_integers(two_blobs, tmp_path):
    X, cells, truth = two_blobs
    ints = np.array([{"left": "7", "right": "0012"}.get(c, c) for c in cells], dtype=object)
    data, out = tmp_path / "data.csv", tmp_path / "out.csv"
    _write_csv(data, X, ints)
    assert cli.main(["cluster", str(data), "--method", "tree", "--labels", "class", "--output", str(out)]) == 0
    assert _read_labels(out)[1] == ["7" if t == "left" else "12" for t in truth]


def test_npy_and_npz_give_the_csv_result(two_blobs, tmp_path):
    X, cells, truth = two_blobs
    numeric = np.array([{"left": 1.0, "right": 2.0, "": np.nan, "-1": -1.0}[c] for c in cells])
    np.save(tmp_path / "data.npy", np.column_stack([X[:, 0], numeric, X[:, 1]]))
    np.savez(tmp_path / "data.npz", samples=X, target=numeric)
    expected = ["1" if t == "left" else "2" for t in truth]
    for name, column, header in [("data.npy", "1", "label"), ("data.npy", "-2", "label"), ("data.npz", "target", "target")]:
        out = tmp_path / f"{name}-{column}.csv"
        status = cli.main(["cluster", str(tmp_path / name), "--method", "graph", "--k", "4", "--labels", column,
                           "--output", str(out)])
        assert status == 0
        assert _read_labels(out) == ([header], expected)


@pytest.mark.parametrize(
    "rows, column, message",
    [
        ([["a", "b"], ["1", "0"]], "c", "has no column 'c' (columns: a, b)"),
        ([["a", "b"], ["1", "0"], ["x", ""]], "b", "line 3, column 'a': 'x' is not a number"),
        ([["a", "b"], ["1", "0"], ["2"]], "b", "line 3: 1 cells, the header has 2"),
        ([["a", "b"], ["1", ""], ["2", "-1"]], "b", "no labeled sample"),
        ([["a", "b"], ["nan", "0"], ["2", "-1"]], "b", "NaN"),
    ],
)
def test_cluster_reports_bad_data(rows, column, message, tmp_path, capsys):
    data = tmp_path / "bad.csv"
    data.write_text("\n".join(",".join(row) for row in rows) + "\n")
    status = cli.main(["cluster", str(data), "--method", "density", "--labels", column, "--output",
                       str(tmp_path / "out.csv")])
    assert status == 1
    err = capsys.readouterr().err
    assert err.startswith("sorvane: error: ") and message in err
    assert not (tmp_path / "out.csv").exists()


@pytest.mark.parametrize(
    "args, message",
    [
        (["--method", "graph", "--eps", "0.5"], "--eps does not apply to the graph method"),
        (["--method", "tree", "--k", "3"], "--k does not apply to the tree method"),
        (["--method", "density", "--eps", "wide"], "expected a number or 'auto'"),
        (["--method", "cluster"], "invalid choice"),
    ],
)
def test_cluster_usage_errors(args, message, tmp_path, capsys):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["cluster", "data.csv", "--labels", "c", "--output", str(tmp_path / "o.csv"), *args])
    assert exit_info.value.code == 2
    assert message in capsys.readouterr().err


def test_plot_needs_matplotlib(two_blobs, tmp_path, monkeypatch, capsys):
    X, cells, _ = two_blobs
    data = tmp_path / "data.csv"
    _write_csv(data, X, cells)
    args = ["cluster", str(data), "--method", "tree", "--labels", "class", "--output", str(tmp_path / "o.csv"),
            "--plot", str(tmp_path / "o.png")]
    monkeypatch.setattr(plotting, "matplotlib_available", lambda: False)
    with pytest.raises(SystemExit):
        cli.main(args)
    assert "--plot needs matplotlib" in capsys.readouterr().err
    assert not (tmp_path / "o.csv").exists()
    monkeypatch.undo()
    pytest.importorskip("matplotlib")
    assert cli.main(args) == 0
    assert (tmp_path / "o.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_python_m_sorvane_runs_the_command(two_blobs, tmp_path):
    X, cells, truth = two_blobs
    _write_csv(tmp_path / "data.csv", X, cells)
    # the package under test, installed or in the source tree
    env = {**os.environ, "PYTHONPATH": str(Path(sorvane.__file__).parent.parent)}
    result = subprocess.run(
        [sys.executable, "-m", "sorvane", "cluster", "data.csv", "--method", "density", "--labels", "class",
         "--output", "out.csv", "--standardize", "--verbose"],
        cwd=tmp_path, env=env, capture_output=True, text=True, check=False,
    )
    assert result.returncode == 0, result.stderr
    assert "[DensityClustering] quorim_main:" in result.stdout
    assert _read_labels(tmp_path / "out.csv")[1] == list(truth)


# ---- demo ----------------------------------------------------------------------------------------------


def test_keep_labels_keeps_a_share_of_every_class():
    y = np.array([0] * 50 + [1] * 30 + [2] * 2)
    partial = demo.keep_labels(y, 0.1, seed=5)
    assert [(partial == c).sum() for c in range(3)] == [5, 3, 1]
    assert np.all((partial == -1) | (partial == y))
    np.testing.assert_array_equal(partial, demo.keep_labels(y, 0.1, seed=5))


def test_demo_prints_the_table_and_skips_the_figure_without_matplotlib(tmp_path, monkeypatch, capsys):
    # iris alone keeps the test fast; the full run is `sorvane demo`
    monkeypatch.setattr(demo, "DATASETS", demo.DATASETS[:1])
    monkeypatch.setattr(plotting, "matplotlib_available", lambda: False)
    assert cli.main(["demo", "--output-dir", str(tmp_path / "out")]) == 0
    out = capsys.readouterr().out
    table = (tmp_path / "out" / "results.md").read_text()
    rows = [line for line in table.splitlines() if line.startswith("| iris")]
    assert [row.split("|")[2].strip() for row in rows] == list(demo.METHOD_NAMES)
    for row in rows:
        accuracy, ari, seconds = (float(cell) for cell in row.split("|")[3:6])
        assert 0.5 < accuracy <= 1 and -1 <= ari <= 1 and seconds >= 0
    assert table.strip() in out
    assert "figure skipped: matplotlib is not installed" in out


def test_demo_figure(tmp_path):
    pytest.importorskip("matplotlib")
    demo.draw_moons(tmp_path / "moons.png")
    assert (tmp_path / "moons.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
