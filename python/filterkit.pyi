"""Image-analysis filter plug-ins on numpy arrays.

Images are numpy arrays of shape (height, width) for grey or
(height, width, 3) for RGB (or Lab with ``lab=True``), of dtype uint8,
uint16 or float32:

* uint8: 0..255.
* uint16: the file scale 0..65535, as image files and other libraries hold
  it. The filters work on 0..32768; samples are mapped there and back with
  the same rounding as the image-file readers and writers, so a file's odd
  values may come back one step away.
* float32: 0.0 (black) to 1.0 (white), grey or RGB (no float Lab).
* Lab: L, a and b unsigned, neutral a and b in the middle of the range
  (128, or 32768 for uint16).

Any memory layout is accepted (non-contiguous, read-only, either byte order);
inputs are never modified. Runs are serialised within a process (the
plug-ins share process-wide state); the GIL is released while a filter runs,
so other Python threads go on. Use processes for parallel work.
"""

from os import PathLike
from typing import Callable, Literal, Optional, TypedDict, Union, overload

import numpy as np
import numpy.typing as npt

_Path = Union[str, PathLike[str]]
_Image = npt.NDArray[Union[np.uint8, np.uint16, np.float32]]

class PluginInfo(TypedDict):
    name: str
    """The plug-in's name (its module file name without ``.so``)."""
    path: str
    """The module file."""
    about: str
    """The About text the plug-in shows."""
    description: Optional[dict]
    """The plug-in's description (menu name, category, summary, image modes,
    reference_image use, parameter_file with each parameter's name, meaning,
    type, unit, default and range), or None when the plug-in has none."""

class RunResult:
    """What a filter run reported besides its image."""

    plugin: str
    """The plug-in's name."""
    code: int
    """The plug-in's result code; 0 is success, -128 cancelled or refused."""
    messages: list[str]
    """Each message the plug-in showed, line breaks as ``\\n``."""
    numbers: list[float]
    """Every decimal number in the messages, in order (e.g. a total perimeter)."""
    progress: list[tuple[int, int]]
    """Each progress report as a (done, total) pair."""
    progress_calls: int
    """How many progress reports the plug-in made."""
    cancelled: bool
    """Whether a cancel test was answered with "cancel"."""
    width: int
    height: int
    mode: int
    """Image mode handed to the plug-in: 1 grey, 3 RGB, 9 Lab, 10 grey 16-bit,
    11 RGB 16-bit, 12 Lab 16-bit, 16 RGB float (grey float is 1 with depth 32)."""
    depth: int
    """Bits per sample: 8, 16 or 32."""
    parameters: dict[str, float]
    """The parameters written for the plug-in when ``params`` were given,
    defaults included; empty otherwise."""
    timings: dict[str, float]
    """Seconds: ``convert_in``, ``filter`` (the plug-in's own run),
    ``convert_out``, ``total`` and ``overhead`` (total less filter); and the
    calling thread's CPU seconds ``filter_cpu`` and ``total_cpu``."""

class PluginError(Exception):
    """A plug-in returned a non-zero result; nothing is returned."""

    code: int
    messages: list[str]
    result: RunResult

class Cancelled(PluginError):
    """The run was cancelled because ``cancel()`` returned true."""

class ImageFileError(OSError):
    """An image file that cannot be read or written; the text says why."""

def plugins() -> list[str]:
    """The names of every plug-in found, sorted."""

def plugin_folders() -> list[PathLike[str]]:
    """The folders searched for plug-ins: ``FILTERHOST_PLUGIN_PATH``
    (colon-separated) when set, else the build tree's ``plugins`` folder or
    the installed one."""

def about(name: str) -> PluginInfo:
    """A plug-in's name, module path, About text and description.

    ``name`` is a name from :func:`plugins` or a path to a module. Raises
    ValueError when there is no such plug-in."""

def run(
    name: str,
    image: _Image,
    *,
    lab: bool = False,
    prefs_dir: Optional[_Path] = None,
    desktop_dir: Optional[_Path] = None,
    params: Optional[dict[str, float]] = None,
    progress: Optional[Callable[[int, int], object]] = None,
    cancel: Optional[Callable[[], bool]] = None,
) -> tuple[_Image, RunResult]:
    """Runs the plug-in ``name`` on a copy of ``image``.

    Returns the filtered image (a new array of the same shape and dtype) and
    the RunResult. A non-zero result raises PluginError (Cancelled when
    ``cancel()`` asked for it) carrying the same information.

    ``lab``: the three planes are L, a, b. ``prefs_dir``: the folder standing
    for the Preferences folder, where the reference image lives (default as
    filterhost: ``FILTERHOST_PREFS_DIR``, ``$XDG_CONFIG_HOME/filterhost`` or
    ``~/.config/filterhost``; made if missing). ``desktop_dir``: the folder
    standing for the Desktop, where parameter files are read (default
    ``FILTERHOST_DESKTOP_DIR``, ``$XDG_DESKTOP_DIR`` or ``~/Desktop``).
    ``params``: the plug-in's parameters by name (see
    ``about(name)["description"]["parameter_file"]``), the rest at their
    defaults, written as the plug-in's parameter file into a Desktop folder
    of this run's own (so not together with ``desktop_dir``). ValueError for
    a plug-in without parameters, an unknown name or a value out of range.

    ``progress(done, total)`` is called at every progress report and
    ``cancel()`` at every cancel test, from the calling thread; an exception
    in either cancels the run and is raised afterwards. Ctrl-C cancels too.

    Raises TypeError for a non-array or a dtype other than uint8, uint16 and
    float32, ValueError for another shape, an empty image, an unknown
    plug-in or an image mode the plug-in's description does not offer
    (rgb_to_ihs takes no Lab), in filterhost's words.
    """

@overload
def read_image(path: _Path, *, with_lab: Literal[False] = ...) -> _Image: ...
@overload
def read_image(path: _Path, *, with_lab: Literal[True]) -> tuple[_Image, bool]: ...
def read_image(path: _Path, *, with_lab: bool = False) -> Union[_Image, tuple[_Image, bool]]:
    """Reads a PNG, TIFF or binary PGM/PPM file with filterhost's codecs.

    With ``with_lab=True`` returns ``(array, is_lab)``. Raises ImageFileError."""

def write_image(path: _Path, image: _Image, *, lab: bool = False) -> None:
    """Writes the array in the format the extension selects (.png, .tif,
    .tiff, .pgm, .ppm, .pnm), through a temporary file renamed into place.
    Raises ImageFileError when the format cannot hold the image."""
