import os
from typing import Any, Literal, Sequence, Union

import numpy as np
from numpy.typing import ArrayLike

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_FileType = Literal["raw", "csv", "blue", "sigmf"]
_SampleType = Literal["cf32", "cf64", "ci32", "ci16", "ci8", "f32", "f64", "i32", "i16", "i8"]
_Endian = Literal["le", "be"]

class Writer:
    def __init__(
        self,
        path: _Path,
        fs: float,
        file_type: _FileType = "raw",
        sample_type: _SampleType = "cf32",
        endian: _Endian = "le",
        fc: float = 0.0,
        total: int = 0,
        headroom: float = 0.0,
        t0: float = 0.0,
        sidecar: bool = True,
    ) -> None: ...
    def write(self, x: ArrayLike) -> int: ...
    def add_keyword(self, tag: str, type: str, value: Union[str, float, int, Sequence[Any], np.ndarray]) -> None: ...
    def flush(self) -> None: ...
    def track_clipping(self, on: int = 1) -> None: ...
    def close(self) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> "Writer": ...
    def __exit__(self, *args: object) -> None: ...
    @property
    def clip_fraction(self) -> float: ...
    @property
    def peak_dbfs(self) -> float: ...
    @property
    def clipped(self) -> bool: ...

def write_blue_header(
    path: _Path,
    fs: float,
    sample_type: _SampleType = "cf32",
    endian: _Endian = "le",
    fc: float = 0.0,
    data_start: float = 0.0,
    total: int = 0,
    detached: int = 1,
    t0: float = 0.0,
) -> None: ...
