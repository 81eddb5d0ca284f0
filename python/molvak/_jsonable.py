"""Python values as JSON and back: the params of a saved image and the
headers of a saved gather.

JSON has no arrays, NumPy scalars or bytes; they are written as tagged
objects (``{"__array__": values, "dtype": ...}``, ``{"__bytes__": hex}``)
and NumPy scalars as plain numbers. Tuples come back as lists; any other
value is written as its repr.
"""
from __future__ import annotations

from typing import Any

import numpy as np


def to_json(value: Any) -> Any:
    """`value` as JSON values, arrays and bytes tagged."""
    if isinstance(value, dict):
        return {str(k): to_json(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_json(v) for v in value]
    if isinstance(value, np.ndarray):
        if value.dtype.kind in "biuf":
            return {"__array__": value.tolist(), "dtype": value.dtype.str}
        return {"__array__": [to_json(v) for v in value.tolist()], "dtype": "object"}
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, (bytes, bytearray)):
        return {"__bytes__": bytes(value).hex()}
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return repr(value)


def from_json(value: Any) -> Any:
    """The values :func:`to_json` wrote, arrays and bytes restored."""
    if isinstance(value, dict):
        if set(value) == {"__array__", "dtype"}:
            if value["dtype"] == "object":
                return list(value["__array__"])
            return np.array(value["__array__"], dtype=np.dtype(value["dtype"]))
        if set(value) == {"__bytes__"} and isinstance(value["__bytes__"], str):
            return bytes.fromhex(value["__bytes__"])
        return {k: from_json(v) for k, v in value.items()}
    if isinstance(value, list):
        return [from_json(v) for v in value]
    return value
