# Types of the compiled extension (python/tofimage/_core.cpp).
from typing import Any, Dict, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

class Plan:
    def __init__(self, rows: int, cols: int, n: int, x_sensor: npt.NDArray[np.float64],
                 y_sensor: npt.NDArray[np.float64], z_sensor: npt.NDArray[np.float64],
                 c: float, image_select: float, t: npt.NDArray[np.float64], fs: float,
                 image_width: float, numCores: int, frames: int = 1,
                 scalar: bool = False) -> None: ...
    def run(self, sig: npt.NDArray[np.float64], out: npt.NDArray[np.float64]) -> None: ...
    @property
    def batch_frames(self) -> int: ...
    @property
    def kernel_name(self) -> str: ...

def kernel_name() -> str: ...
def count(name: str, value: float, nan_is_error: bool = True) -> int: ...
def message(id: str, args: list[str] = ...) -> str: ...

class BeamformPlan:
    def __init__(self, rows: int, cols: int, x_sensor: npt.NDArray[np.float64],
                 y_sensor: npt.NDArray[np.float64], z_sensor: npt.NDArray[np.float64],
                 c: float, t: npt.NDArray[np.float64], fs: float,
                 X: npt.NDArray[np.float64], Y: npt.NDArray[np.float64],
                 Z: npt.NDArray[np.float64], interp: str, beamformer: str, term: str,
                 fnumber: float, normals: Optional[npt.NDArray[np.float64]], window: str,
                 weights: Optional[npt.NDArray[np.float64]], envelope: bool,
                 sample_offset: float, numCores: int, frames: int = 1,
                 scalar: bool = False) -> None: ...
    def run(self, sig: npt.NDArray[np.float64], out: npt.NDArray[np.float64]) -> None: ...
    @property
    def batch_frames(self) -> int: ...
    @property
    def kernel_name(self) -> str: ...

def autofocus(sig: npt.NDArray[np.float64], x: npt.NDArray[np.float64],
              y: npt.NDArray[np.float64], z: npt.NDArray[np.float64],
              t: npt.NDArray[np.float64], fs: float, c_min: float, c_max: float, term: int,
              roi: Tuple[float, float, float, float], field: Tuple[float, float, float, float],
              search_n: int, method: str, resolution: float, interp: str, numCores: int,
              analytic: bool) -> Dict[str, Any]: ...
def pixel_coordinates(n: float,
                      image_width: float) -> Tuple[npt.NDArray[np.float64],
                                                   npt.NDArray[np.float64]]: ...
def image_field(n: int, image_width: float) -> List[float]: ...
