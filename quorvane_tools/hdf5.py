"""quorvane as an HDF5 filter, for h5py and any other HDF5 reader.

    import h5py
    import quorvane_tools.hdf5
    f.create_dataset("lfp", data=x, chunks=(8, 65536), **quorvane_tools.hdf5.filter(scale=11))

Importing this module registers the filter's plugin with h5py, so datasets
compressed with it read like any other. Programs that do not import it
(h5dump, C, other languages, h5py alone) find the plugin through the
environment: ``HDF5_PLUGIN_PATH=$(python -c "import quorvane_tools.hdf5 as q;
print(q.PLUGIN_PATH)")``.

Each chunk, of any rank, is flattened in memory order and stored as one
quorvane stream. float32 and float64 datasets are accepted (float64 reads
back as float64 with float32 precision); other dtypes are refused when the
dataset is created. The filter id lies in the range HDF5 keeps for testing
until a registered id is assigned.

NaN and infinities come back where they were (a chunk holding them carries
the quorvane trailer after its stream). float64 values beyond the float32
range are refused; h5py marks the filters it adds as optional, so such a
chunk is stored uncompressed and reads back exactly.
"""
from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

from .options import CUTOFF_IDS, METHOD_IDS, make_choice

__all__ = ["FILTER_ID", "PLUGIN_PATH", "QuorvaneFilter", "check", "filter", "is_available", "register"]

#: The filter's HDF5 id (testing range 256-511 until one is registered).
FILTER_ID = 345

_PLUGIN_DIRECTORY = "hdf5_plugin"
_PLUGIN_NAME = "libquorvane_hdf5.so"


def _find_plugin_directory() -> str:
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), _PLUGIN_DIRECTORY)
    if os.path.isfile(os.path.join(beside, _PLUGIN_NAME)):
        return beside
    # Imported from a source tree: the plugin is the one the installed
    # distribution carries.
    try:
        from importlib.metadata import PackageNotFoundError, distribution

        installed = str(distribution("quorvane").locate_file(f"quorvane_tools/{_PLUGIN_DIRECTORY}"))
    except (ImportError, PackageNotFoundError):
        return beside
    return installed if os.path.isfile(os.path.join(installed, _PLUGIN_NAME)) else beside


#: Directory holding the plugin, for HDF5_PLUGIN_PATH; it holds nothing else,
#: because HDF5 tries every file of a plugin directory.
PLUGIN_PATH = _find_plugin_directory()
PLUGIN_FILE = os.path.join(PLUGIN_PATH, _PLUGIN_NAME)

# The filter's parameter layout: a version, then the options as the codec
# numbers them; the plugin appends what the dataset implies.
_LAYOUT_VERSION = 1
# 3 asks for coder 2 ("bands"); filters older than it refuse such datasets.
_CODER_CODES = {"deflate": 0, "arans": 1, "auto": 2, "bands": 3}


def is_available() -> bool:
    """Whether this installation carries the plugin (it is built only where
    HDF5's development files were present)."""
    return os.path.isfile(PLUGIN_FILE)


class QuorvaneFilter(Mapping[str, Union[int, Tuple[int, ...]]]):
    """The ``compression``/``compression_opts`` arguments of
    ``h5py.Group.create_dataset`` for one choice of options.

    Parameters are those of `quorvane.QuorvCompressionOptions`: `method`
    ("cdf97", "cdf53", "db4", "sym4"), `scale` (6..12), `cutoff` ("low",
    "medium", "high") and `coder` ("auto", "deflate", "arans", or the
    opt-in "bands": coder 2, a smaller payload of the same samples that
    only quorvane's decoder reads); None takes the extension's default.
    """

    filter_id = FILTER_ID

    def __init__(self, method: Optional[str] = None, scale: Optional[int] = None, cutoff: Optional[str] = None,
                 coder: Optional[str] = None) -> None:
        choice = make_choice(method=method, scale=scale, cutoff=cutoff, coder=coder)
        self.choice = choice
        self.filter_options: Tuple[int, ...] = (
            _LAYOUT_VERSION,
            METHOD_IDS[choice.method],
            choice.scale,
            CUTOFF_IDS[choice.cutoff],
            _CODER_CODES[choice.coder],
        )

    def _arguments(self) -> Dict[str, Union[int, Tuple[int, ...]]]:
        return {"compression": self.filter_id, "compression_opts": self.filter_options}

    def __getitem__(self, key: str) -> Union[int, Tuple[int, ...]]:
        return self._arguments()[key]

    def __iter__(self) -> Iterator[str]:
        return iter(("compression", "compression_opts"))

    def __len__(self) -> int:
        return 2

    def __repr__(self) -> str:
        return f"QuorvaneFilter({self.choice.describe().replace(' ', ', ')})"


def filter(method: Optional[str] = None, scale: Optional[int] = None, cutoff: Optional[str] = None,
           coder: Optional[str] = None) -> QuorvaneFilter:
    """Keyword arguments that make ``create_dataset`` compress with quorvane:
    ``create_dataset(name, data=x, chunks=..., **filter(scale=10))``.

    Raises ValueError or TypeError for options quorvane does not accept, and
    RuntimeError when this installation has no plugin.
    """
    chosen = QuorvaneFilter(method=method, scale=scale, cutoff=cutoff, coder=coder)
    if not is_available():
        raise RuntimeError(
            f"the quorvane HDF5 plugin is not part of this installation ({PLUGIN_FILE} is missing); "
            "it is built when HDF5's development files (Debian: libhdf5-dev) are present"
        )
    return chosen


def check(dataset: Any) -> List[str]:
    """Decodes every stored chunk of an h5py dataset compressed with quorvane
    and returns one line per chunk that fails, naming the chunk and what is
    wrong; an empty list means every chunk decodes.

    h5py reports only that the filter failed (HDF5 2.0 drops the filter's
    own message); this names the reason, as the filter sees it. The dataset
    must have quorvane as its only filter.
    """
    from .streams import decode_signal

    properties = dataset.id.get_create_plist()
    filters = [properties.get_filter(index) for index in range(properties.get_nfilters())]
    if [entry[0] for entry in filters] != [FILTER_ID]:
        raise ValueError(f"check reads datasets whose only filter is quorvane ({FILTER_ID}); "
                         f"this one has {[entry[0] for entry in filters]}")
    values = filters[0][2]
    samples_per_chunk = values[9] if len(values) > 9 else None
    problems: List[str] = []
    for index in range(dataset.id.get_num_chunks()):
        info = dataset.id.get_chunk_info(index)
        if info.filter_mask & 1:
            continue  # stored unfiltered: the filter refused it on writing
        _, chunk = dataset.id.read_direct_chunk(info.chunk_offset)
        try:
            decode_signal(bytes(chunk), samples_per_chunk)
        except ValueError as error:
            problems.append(f"chunk at {tuple(info.chunk_offset)}: {error}")
    return problems


_registered = False


def register() -> None:
    """Adds the plugin's directory to h5py's plugin search path (done at
    import when h5py is installed). Harmless to call again."""
    global _registered
    if _registered:
        return
    if not is_available():
        raise RuntimeError(f"the quorvane HDF5 plugin is not part of this installation ({PLUGIN_FILE} is missing)")
    # h5py ships no type information.
    import h5py  # type: ignore[import-untyped,unused-ignore]

    h5py.h5pl.prepend(PLUGIN_PATH.encode())
    _registered = True


def _register_at_import() -> None:
    try:
        import h5py  # noqa: F401  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        return
    if is_available():
        register()


_register_at_import()
