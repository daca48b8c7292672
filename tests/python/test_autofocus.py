"""tofimage.autofocus and MATLAB's tofimage_autofocus (through octave-cli) reach
the same search in the engine, on the project's simulated scans; the Python
host's argument errors and edge report."""

import os
import tempfile

import numpy as np
import pytest

import tofimage
from test_tofimage import ROOT, octave

# (array, phantom, true c, method, roi around the vessel's first point in mm
# or None, image_select)
CASES = [
    ("ring", "points", 1540, "coherence", None, 3),
    ("ring", "vessel", 1450, "subaperture", None, 3),
    ("ring", "disc", 1580, "sharpness", None, 1),
    ("linear", "vessel", 1500, "coherence", 2.0, 3),
    ("linear", "points", 1500, "subaperture", None, 2),
]


def octave_searches(d):
    """Simulates each case with simulate_scan and searches it with
    tofimage_autofocus, leaving the scan and the search's result in files."""
    mex_dir = os.environ.get("TOFIMAGE_MEX_DIR")
    if not mex_dir:
        pytest.skip("TOFIMAGE_MEX_DIR (the folder of the built MEX module) is not set; ctest sets it")
    lines = [f"addpath('{ROOT / 'matlab'}');"]
    for k, (array, phantom, c_true, method, roi, term) in enumerate(CASES):
        region = "[]" if roi is None else f"[s.vessel(1,1) + {roi}e-3 * [-1 1], s.vessel(1,2) + {roi}e-3 * [-1 1]]"
        extra = "" if roi is None else ", 'roi', roi"
        lines.append(f"""
          s = simulate_scan(256, 'c', {c_true}, 'phantom', '{phantom}', 'array', '{array}');
          roi = {region};
          [c, info] = tofimage_autofocus(s.sigMat, 256, s.x_sensor, s.y_sensor, s.z_sensor,
              [1400 1650], {term}, s.t, s.fs, s.image_width, 2, 'method', '{method}'{extra});
          f = fopen('scan{k}', 'w'); fwrite(f, [s.sigMat(:); s.x_sensor; s.y_sensor; s.t; roi(:)], 'double'); fclose(f);
          f = fopen('found{k}', 'w'); fwrite(f, [c; info.edge; info.limited_view; info.candidates(:);
              info.scores(:); info.levels(:)], 'double'); fclose(f);""")
    octave("".join(lines).replace("\n              ", " "), d, mex_dir)


def test_same_search_as_octave():
    rows, cols = 2030, 256
    with tempfile.TemporaryDirectory() as d:
        octave_searches(d)
        for k, (array, phantom, c_true, method, roi, term) in enumerate(CASES):
            v = np.fromfile(f"{d}/scan{k}")
            sig = v[:rows * cols].reshape(rows, cols, order="F")
            x, y, t = np.split(v[rows * cols:rows * cols + 2 * cols + rows], [cols, 2 * cols])
            kw = {} if roi is None else {"roi": v[-4:]}
            r = tofimage.autofocus(sig, 256, x, y, np.zeros(cols), (1400, 1650), term, t, 40e6,
                                   25e-3, 2, method=method, **kw)
            want = np.fromfile(f"{d}/found{k}")
            count = (len(want) - 3) // 3
            candidates, scores, levels = np.split(want[3:], [count, 2 * count])
            case = (array, phantom, c_true, method)
            # One engine: the same candidates bit for bit, the same scores to
            # the rounding of the hosts' FFTs (the analytic signal), hence
            # the same c.
            np.testing.assert_array_equal(r.candidates, candidates, err_msg=str(case))
            np.testing.assert_array_equal(r.levels, levels, err_msg=str(case))
            np.testing.assert_allclose(r.scores, scores, rtol=1e-9, atol=1e-12, err_msg=str(case))
            assert (r.c, r.edge, r.limited_view) == (want[0], bool(want[1]), bool(want[2])), case
            target = 3 if array == "ring" else 10
            if method != "sharpness":
                assert abs(r.c - c_true) <= target, (case, r.c)
            assert r.image.shape == (256, 256)


def ring_scan(c_true, sensors=64):
    a = 2 * np.pi * np.arange(sensors) / sensors
    x, y = 0.02 * np.cos(a), 0.02 * np.sin(a)
    t = 1e-6 + np.arange(1200) / 40e6
    tau = (t[:, None] - np.hypot(x - 1e-3, y - 2e-3) / c_true) / 75e-9
    return [-tau * np.exp(0.5 - tau ** 2 / 2), 64, x, y, np.zeros(sensors), (1400, 1650), 3,
            t, 40e6, 0.016, 1]


def test_edge_and_notes():
    args = ring_scan(1500)
    # Below the focus: the score climbs to c_max. (A narrow range beside the
    # focus can instead hold a side lobe of the score, a weaker peak inside.)
    args[5] = (1400, 1440)
    r = tofimage.autofocus(*args, search_n=64)
    assert r.c == 1440 and r.edge and any("edge of c_range" in note for note in r.notes)
    assert not r.limited_view and r.view_angle > 350
    # Half of the ring: a limited view, said so.
    half = ring_scan(1500)
    for i in (0, 2, 3, 4):
        half[i] = half[i][..., :32] if i == 0 else half[i][:32]
    r = tofimage.autofocus(*half, search_n=64, method="subaperture")
    assert r.limited_view and 170 < r.view_angle < 190 and "halves" in r.subapertures
    assert any("limited view" in note for note in r.notes) and abs(r.c - 1500) <= 5


def test_errors():
    args = ring_scan(1500)

    def fails(message, changes={}, **options):
        call = list(args)
        for k, v in changes.items():
            call[k] = v
        with pytest.raises((ValueError, TypeError), match=message):
            tofimage.autofocus(*call, **options)

    fails(r"c_range must be \[c_min c_max\] with 0 < c_min < c_max", {5: (1600, 1400)})
    fails(r"c_range must be", {5: 1500})
    fails(r"sigMat must have at least 2 rows \(time samples\) and 4 columns \(sensors\), "
          r"not 1200 x 3", {0: args[0][:, :3]})
    fails("sigMat must be finite", {0: np.where(args[0] > 0.9, np.nan, args[0])})
    fails("sigMat must be real", {0: args[0] + 0j})
    fails("x_sensor must hold a finite coordinate for each of the 64 sensors", {2: args[2][:10]})
    fails("t must hold a finite time for each of the 1200 rows", {7: args[7][:10]})
    fails("fs must be a finite positive number", {8: -1.0})
    fails("n must be a whole number of at least 1", {1: 0.5})  # truncated to 0
    fails("n must be at least 1 and at most 46340", {1: 46341})
    fails(r"t\(2\) must differ from t\(1\)", {7: np.r_[args[7][0], args[7][:-1]]})
    fails("method must be 'coherence', 'subaperture' or 'sharpness'", method="focus")
    fails("search_n must be a whole number of at least 16", search_n=8)
    fails(r"roi must be \[x_min x_max y_min y_max\]", roi=(1, 0, 0, 1))
    fails("resolution must be a finite positive number", resolution=0)
    fails(r"resolution must be at least \(c_max - c_min\) / 2\^44", resolution=1e-20)


def test_plot(tmp_path):
    pytest.importorskip("matplotlib")
    import matplotlib
    matplotlib.use("Agg")
    r = tofimage.autofocus(*ring_scan(1520), search_n=64)
    fig = r.plot()
    assert len(fig.axes) >= 2
    fig.savefig(tmp_path / "autofocus.png")
    assert (tmp_path / "autofocus.png").read_bytes()[:4] == b"\x89PNG"
