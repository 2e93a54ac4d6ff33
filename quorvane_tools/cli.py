"""The `quorvane` command: compress, decompress, inspect and evaluate files.

    quorvane compress recording.wav               # -> recording.qrvz
    quorvane compress trace.npy --scale 9         # -> trace.qrvz
    quorvane compress *.flac -d packed/ -j 4      # four files at a time
    quorvane compress - < trace.npy > trace.qrvz  # standard input and output
    quorvane compress trace.npy --max-abs-error 0.01
    quorvane decompress recording.qrvz -o restored.wav
    quorvane info trace.qrvz
    quorvane verify *.qrvz
    quorvane info - < trace.qrvz                  # - is standard input here too
    quorvane eval trace.npy --csv --plot rd.png

Every failure is reported as one line on stderr ("quorvane: error: ...")
with exit status 1 (2 for a wrong command line); outputs are written under
a temporary name and renamed when complete, so a failed or interrupted run
leaves no partial file.
"""
from __future__ import annotations

import argparse
import functools
import json
import math
import os
import sys
import tempfile
import time
import wave
import zipfile
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, TypeVar, cast

from .containers import ARCHIVE_SUFFIX, STREAM_SUFFIX, Compressed, ContainerError, read_compressed
from .evaluation import evaluate, format_csv, format_table, grid
from .header import HEADER_SIZE, StreamHeader
from .options import (
    ALL_CODERS, BAND_CODER, CODERS, CUTOFFS, METHODS, SCALES, WRITABLE_CODERS, CoderName, CutoffName, MethodName,
    check_coder, make_choice,
)
from .parallel import default_jobs, ordered_map
from .progress import StageBar, progress
from .samples import codec_input
from .streams import prepare_signal
from .target import TARGET_CODERS, target_compressor
from .trailer import Trailer
from .files import (
    LoadedSignal, decode_compressed, describe, fixed_options, quality_target, save_signal,
)
from .signal_files import (
    FORMAT_SUFFIX, SignalData, SignalFileError, atomic_output, format_of, read_signal, write_signal,
)

PROGRAM = "quorvane"
T = TypeVar("T")


class CliError(Exception):
    """A problem to report as one line, without a traceback."""


class UsageError(CliError):
    """A wrong command line: reported like a file problem, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one line, then exit 2, like argparse but shorter
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


# ---------------------------------------------------------------- options


def _split_list(values: Optional[List[str]], allowed: Sequence[str], kind: str) -> Optional[List[str]]:
    if not values:
        return None
    chosen: List[str] = []
    for value in values:
        for item in value.split(","):
            item = item.strip()
            if item not in allowed:
                raise UsageError(f"unknown {kind} {item!r}; choose from {', '.join(allowed)}")
            if item not in chosen:
                chosen.append(item)
    return chosen


def _parse_scales(values: Optional[List[str]]) -> Optional[List[int]]:
    """Scales as "9", "6,8,10" or ranges "6-9"."""
    if not values:
        return None
    chosen: List[int] = []
    for value in values:
        for item in value.split(","):
            try:
                if "-" in item.strip()[1:]:
                    low, high = item.split("-", 1)
                    numbers = list(range(int(low), int(high) + 1))
                else:
                    numbers = [int(item)]
            except ValueError:
                raise UsageError(f"scale {item!r} is not a number or a range like 6-9") from None
            for number in numbers:
                if number not in SCALES:
                    raise UsageError(f"scale {number} is outside {SCALES[0]}..{SCALES[-1]}")
                if number not in chosen:
                    chosen.append(number)
    return chosen


def _add_option_arguments(parser: argparse.ArgumentParser, many: bool,
                          coders: Sequence[str] = ALL_CODERS) -> None:
    action = "append" if many else "store"
    suffix = " (repeat or comma-separate for several)" if many else ""
    parser.add_argument("--method", action=action, help=f"wavelet: {', '.join(METHODS)}{suffix}")
    parser.add_argument("--scale", action=action, help=f"quantiser scale {SCALES[0]}..{SCALES[-1]}{suffix}")
    parser.add_argument("--cutoff", action=action, help=f"dead-zone level: {', '.join(CUTOFFS)}{suffix}")
    opt_in = "; bands is coder 2, opt-in: smaller, but other readers of the format cannot read it" \
        if BAND_CODER in coders else ""
    parser.add_argument("--coder", action=action, help=f"entropy coder: {', '.join(coders)}{suffix}{opt_in}")


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} must be a finite number >= 0")
    return value


def _positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r} must be a number > 0")
    return int(value) if value.is_integer() else value


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} must be at least 1")
    return value


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} must be a finite number")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROGRAM, description="Lossy wavelet compression of sampled signals.")
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    compress = commands.add_parser(
        "compress", help="compress .npy, audio, seismic, EDF/BDF, text or raw .f32 files",
        description="Compress sample files (.npy, .wav/.flac/.aiff/.w64/.rf64, .mseed/.sac, .edf/.bdf, "
                    ".csv/.tsv/.txt/.dat, .f32/.raw/.bin, or - for standard input) into .qrvz archives of one "
                    "stream per channel with the file's metadata and checksums.")
    compress.add_argument("inputs", nargs="+", type=Path, metavar="INPUT")
    _add_output_arguments(compress)
    _add_option_arguments(compress, many=False, coders=WRITABLE_CODERS)
    compress.add_argument("--max-abs-error", type=_positive_float, metavar="E",
                          help="the smallest stream whose largest error is <= E (the target encoder; with "
                               "--scale or --cutoff, the reference encoder's options instead)")
    compress.add_argument("--min-psnr", type=_finite_float, metavar="DB",
                          help="the smallest stream with PSNR >= DB, the signal's range as peak (as above)")
    compress.add_argument("--max-rmse", type=_positive_float, metavar="E",
                          help="the smallest stream with RMSE <= E (the target encoder)")
    compress.add_argument("--columns", action="append", metavar="COLS",
                          help="text tables: columns to compress, by name or 1-based number, comma-separated; "
                               "-NAME or -N skips one (default: every numeric column)")
    compress.add_argument("--container", choices=["auto", "qrv", "qrvz"], default="auto",
                          help="output form; auto: .qrvz (a bare .qrv stream keeps no metadata or checksum)")
    compress.set_defaults(run=run_compress)

    decompress = commands.add_parser(
        "decompress", help="restore .qrv / .qrvz files",
        description="Decompress .qrv streams and .qrvz archives. The output format follows the output "
                    "suffix (.npy, .wav, .flac, .aiff, .w64, .rf64, .mseed, .sac, .edf, .bdf, .csv, .tsv, .txt, "
                    ".f32), else the recorded source format, else .npy. - reads standard input.")
    decompress.add_argument("inputs", nargs="+", type=Path, metavar="INPUT")
    _add_output_arguments(decompress)
    decompress.add_argument("--format", choices=sorted(FORMAT_SUFFIX), help="output format when no -o is given")
    decompress.add_argument("--sample-rate", type=_positive_number, metavar="HZ",
                            help="sample rate for audio, seismic or EDF output from a file that records none")
    decompress.set_defaults(run=run_decompress)

    info = commands.add_parser("info", help="show every header field of compressed files",
                               description="Show the metadata, checksums and every header field of .qrv "
                                           "streams and .qrvz archives. - reads standard input.")
    info.add_argument("inputs", nargs="+", type=Path, metavar="INPUT")
    info.add_argument("--json", action="store_true", help="print JSON instead of text")
    info.set_defaults(run=run_info)

    verify = commands.add_parser(
        "verify", help="check the checksums of compressed files and decode every stream",
        description="Check every checksum and decode every stream of each file; print one line per file "
                    "(OK, or what is damaged). - reads standard input. Exit status 1 if any file fails.")
    verify.add_argument("inputs", nargs="+", type=Path, metavar="INPUT")
    verify.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar")
    verify.set_defaults(run=run_verify)

    evaluation = commands.add_parser(
        "eval", help="measure every method x coder x scale x cut-off on one input",
        description="Compress one input with every combination of options (or the subset chosen with "
                    "--method/--coder/--scale/--cutoff) and report ratio, errors and speed.")
    evaluation.add_argument("input", type=Path, metavar="INPUT")
    _add_option_arguments(evaluation, many=True)
    evaluation.add_argument("--columns", action="append", metavar="COLS",
                            help="text tables: columns to evaluate (as for compress)")
    evaluation.add_argument("-j", "--jobs", type=_positive_int, metavar="N",
                            help="combinations measured at a time (default: the machine's cores; "
                                 "-j 1 for speeds undisturbed by each other)")
    evaluation.add_argument("--csv", action="store_true", help="print CSV instead of a table")
    evaluation.add_argument("--plot", type=Path, metavar="PNG", help="write a rate-distortion plot")
    evaluation.add_argument("--repeat", type=int, default=3, help="timing runs per combination (best counts)")
    evaluation.add_argument("-o", "--output", type=Path, help="write the table or CSV to this file")
    evaluation.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar")
    evaluation.set_defaults(run=run_eval)
    return parser


def _add_output_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-o", "--output", type=Path, help="output file (one input only)")
    parser.add_argument("-d", "--output-dir", type=Path, help="directory for the outputs")
    parser.add_argument("-f", "--force", action="store_true", help="overwrite existing outputs")
    parser.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")
    parser.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bars")
    parser.add_argument("-j", "--jobs", type=_positive_int, metavar="N",
                        help="files (or channels of one file) processed at a time (default: the machine's cores)")


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("quorvane")
    except Exception:  # not installed as a distribution (source tree)
        return "unknown"


# ---------------------------------------------------------------- helpers


def _progress_flag(args: argparse.Namespace) -> Optional[bool]:
    return None if args.progress else False


STDIO = Path("-")
# From about these sizes (4 MiB of input, or of float32 output) reading,
# coding and writing a file can take a second, so a single file gets a bar
# through those steps (on a terminal).
LARGE_INPUT_BYTES = 1 << 22
LARGE_SIGNAL_SAMPLES = 1 << 20


class _Report:
    """What one input's work prints, kept until its turn so that parallel
    runs print exactly what a serial run does, in input order."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.quiet = bool(getattr(args, "quiet", False))
        # Standard output carries the data when writing to "-".
        self.data_on_stdout = getattr(args, "output", None) == STDIO
        self.lines: List[Tuple[Any, str]] = []
        self.failed = False
        self.data: Optional[Path] = None

    def say(self, message: str) -> None:
        if not self.quiet:
            self.lines.append((sys.stderr if self.data_on_stdout else sys.stdout, message))

    def note(self, message: str) -> None:
        self.lines.append((sys.stderr, message))

    def fail(self, message: str) -> None:
        self.failed = True
        self.lines.append((sys.stderr, f"{PROGRAM}: error: {message}"))

    def emit(self, aliases: Dict[str, str]) -> None:
        if self.data is not None and not self.failed:
            sys.stdout.flush()
            sys.stdout.buffer.write(self.data.read_bytes())
            sys.stdout.buffer.flush()
        for stream, line in self.lines:
            for real, shown in aliases.items():
                line = line.replace(real, shown)
            print(line, file=stream)


def _output_path(args: argparse.Namespace, source: Path, suffix: str) -> Path:
    if args.output == STDIO:
        # Written beside the standard-input copy, then sent to standard output.
        return cast(Path, args.scratch / f"stdout{suffix}")
    if args.output is not None:
        return cast(Path, args.output)
    directory = args.output_dir if args.output_dir is not None else source.parent
    stem = args.output_stems.get(source, source.stem)
    # "eeg.csv.qrvz" restores as "eeg.csv", not "eeg.csv.csv".
    if stem.lower().endswith(suffix.lower()) and len(stem) > len(suffix):
        stem = stem[: -len(suffix)]
    return cast(Path, directory / (stem + suffix))


def _output_stems(inputs: Sequence[Path], output_dir: Optional[Path]) -> Dict[Path, str]:
    """Inputs whose outputs would share a name (eeg.csv and eeg.npy) keep
    their whole name in it (eeg.csv.qrvz, eeg.npy.qrvz)."""
    groups: Dict[Tuple[str, str], List[Path]] = {}
    for path in inputs:
        directory = output_dir if output_dir is not None else path.parent
        groups.setdefault((str(directory), path.stem), []).append(path)
    return {path: path.name for group in groups.values() if len(group) > 1 for path in group}


def _check_writable(path: Path, force: bool, source: Path) -> None:
    if path.exists() and path.resolve() == source.resolve():
        raise CliError(f"{path}: would overwrite its own input")
    if path.exists() and not force:
        raise CliError(f"{path} exists (use --force to overwrite)")
    if not path.parent.is_dir():
        raise CliError(f"{path.parent}: no such directory")


def _jobs(args: argparse.Namespace) -> int:
    return int(args.jobs) if getattr(args, "jobs", None) else default_jobs()


def _stdin_copy(args: argparse.Namespace, compressed: bool) -> Path:
    """Standard input saved under a name whose suffix says what it holds."""
    data = sys.stdin.buffer.read()
    if not data:
        raise CliError("standard input is empty")
    suffix = _sniff_suffix(data, compressed)
    path = cast(Path, args.scratch / f"stdin{suffix}")
    path.write_bytes(data)
    return path


def _sniff_suffix(data: bytes, compressed: bool) -> str:
    if compressed:
        return ARCHIVE_SUFFIX if data[:4] == b"PK\x03\x04" else STREAM_SUFFIX
    magic = {b"\x93NUMPY": ".npy", b"RIFF": ".wav", b"RF64": ".wav", b"fLaC": ".flac", b"FORM": ".aiff",
             b"riff": ".w64", b"\xffBIOSEMI": ".bdf", b"0       ": ".edf"}
    for start, suffix in magic.items():
        if data.startswith(start):
            return suffix
    try:
        data[:65536].decode("utf-8")
    except UnicodeDecodeError:
        raise CliError("cannot tell the format of standard input: not .npy, audio, EDF/BDF or text") from None
    return ".txt"  # commas or whitespace, found from the first data line


def _for_each_input(args: argparse.Namespace, work: Callable[[Path, _Report], None],
                    compressed_inputs: bool) -> int:
    """Runs `work` per input, `-j` at a time; a failing file is reported and the rest still run."""
    inputs: List[Path] = list(args.inputs)
    if args.output is not None and len(inputs) > 1:
        raise UsageError("-o/--output names one file; use --output-dir for several inputs")
    if STDIO in inputs and len(inputs) > 1:
        raise UsageError("- (standard input) must be the only input")
    if args.output_dir is not None:
        if args.output_dir.exists() and not args.output_dir.is_dir():
            raise CliError(f"{args.output_dir}: exists and is not a directory")
        args.output_dir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="quorvane-") as scratch:
        args.scratch = Path(scratch)
        aliases: Dict[str, str] = {}
        if inputs == [STDIO]:
            inputs = [_stdin_copy(args, compressed_inputs)]
            aliases[str(inputs[0])] = "<stdin>"
            if args.output is None and args.output_dir is None:
                args.output = STDIO
        args.output_stems = _output_stems(inputs, args.output_dir)
        jobs = _jobs(args)
        file_jobs = jobs if len(inputs) > 1 else 1
        # Channels of one file share the cores; in a batch the files do.
        args.channel_jobs = 1 if file_jobs > 1 else jobs
        args.inner_progress = _progress_flag(args) if file_jobs == 1 else False

        def run_one(path: Path) -> _Report:
            report = _Report(args)
            try:
                work(path, report)
            except Exception as error:  # reported per file; the batch goes on
                report.fail(_describe(error, path))
            return report

        failures = 0
        bar_enabled = _progress_flag(args) if len(inputs) > 1 else False
        for report in progress(ordered_map(run_one, inputs, file_jobs), total=len(inputs),
                               description=args.command, enabled=bar_enabled, unit="file"):
            report.emit(aliases)
            failures += report.failed
    return 1 if failures else 0


def _announce(args: argparse.Namespace, message: str) -> None:
    """Says what a long run is doing, on a terminal only (like the bars)."""
    if getattr(args, "progress", True) and not getattr(args, "quiet", False) and sys.stderr.isatty():
        print(f"{PROGRAM}: {message}", file=sys.stderr, flush=True)


def _describe(error: BaseException, path: Optional[Path] = None) -> str:
    if isinstance(error, OSError) and error.strerror:
        where = error.filename if error.filename else path
        return f"{where}: {error.strerror}"
    text = str(error) or type(error).__name__
    if isinstance(error, (CliError, SignalFileError, ContainerError)) or path is None:
        return text if (path is None or str(path) in text) else f"{path}: {text}"
    if isinstance(error, (ValueError, TypeError, RuntimeError, wave.Error, zipfile.BadZipFile, EOFError)):
        return f"{path}: {text}"
    return f"{path}: unexpected {type(error).__name__}: {text}"


def _report_error(message: str) -> None:
    print(f"{PROGRAM}: error: {message}", file=sys.stderr)


# ---------------------------------------------------------------- compress


def run_compress(args: argparse.Namespace) -> int:
    output = args.output
    if output is not None and output != STDIO and output.suffix.lower() not in (STREAM_SUFFIX, ARCHIVE_SUFFIX):
        raise UsageError(f"{output}: compressed files end in {ARCHIVE_SUFFIX} (or {STREAM_SUFFIX} for a bare stream), "
                         f"not {output.suffix or 'no suffix'!r}")
    target = args.max_abs_error is not None or args.min_psnr is not None or args.max_rmse is not None
    # A target without reference-encoder options goes to the target encoder,
    # whose streams are smaller at the same error.
    encoder_target = target and args.scale is None and args.cutoff is None
    coders: Sequence[str] = TARGET_CODERS if encoder_target else WRITABLE_CODERS
    for value, allowed, kind in ((args.method, METHODS, "method"), (args.cutoff, CUTOFFS, "cutoff"),
                                 (args.coder, coders, "coder")):
        if value is not None:
            _split_list([value], allowed, kind)
    if target and not encoder_target and args.max_rmse is not None:
        raise UsageError("--max-rmse needs the target encoder: drop --scale and --cutoff")
    if encoder_target:
        compress_target = target_compressor(args.max_abs_error, args.min_psnr, args.max_rmse,
                                            methods=None if args.method is None else [args.method],
                                            coder=args.coder or "auto")
    elif target:
        restrictions: Dict[str, Any] = dict(
            methods=_restrict(args.method, METHODS), coders=_restrict_coder(args.coder),
            scales=(_parse_scales([args.scale]) or SCALES) if args.scale else SCALES,
            cutoffs=_restrict(args.cutoff, CUTOFFS))
        searched = " x ".join(f"{len(values)} {name}" for name, values in restrictions.items() if len(values) > 1) \
            or "the one combination allowed"
        wanted = " and ".join(part for part in (
            f"max error <= {args.max_abs_error:g}" if args.max_abs_error is not None else "",
            f"PSNR >= {args.min_psnr:g} dB" if args.min_psnr is not None else "") if part)
    else:
        fixed = fixed_options(method=args.method, scale=_single_scale(args.scale), cutoff=args.cutoff,
                              coder=args.coder)

    def work(path: Path, report: _Report) -> None:
        input_bytes = path.stat().st_size
        reference_search = target and not encoder_target  # it shows its own bar of candidates
        stage_bar = args.inner_progress if input_bytes >= LARGE_INPUT_BYTES and not reference_search else False
        with StageBar(["reading", "compressing", "writing"], description=_report_name(path),
                      enabled=stage_bar) as stages:
            stages.start("reading")
            compress_one(path, report, input_bytes, stages)

    def compress_one(path: Path, report: _Report, input_bytes: int, stages: StageBar) -> None:
        signal = read_signal(path, columns=args.columns)
        archive = _wants_archive(args, signal)
        output = _output_path(args, path, ARCHIVE_SUFFIX if archive else STREAM_SUFFIX)
        if args.output is not None and args.output != STDIO:
            archive = _archive_by_suffix(output, archive, len(signal.channels))
        _check_writable(output, args.force, path)
        if encoder_target:
            compress = compress_target
        elif target:
            # One search bar at a time: channels searched side by side show the channel bar.
            alone = len(signal.channels) == 1 or args.channel_jobs == 1
            compress = quality_target(args.max_abs_error, args.min_psnr,
                                      show_progress=args.inner_progress if alone else False, **restrictions)
            if args.inner_progress is not False:
                _announce(args, f"{_report_name(path)}: searching {searched} for the smallest stream with {wanted}")
        else:
            compress = fixed
        # Channels get a bar of their own; one channel is one step of the stage bar.
        channel_bar = args.inner_progress if len(signal.channels) > 1 else False
        stages.start("compressing")
        saved = save_signal(output, signal, compress, archive=archive, show_progress=channel_bar,
                            jobs=args.channel_jobs, before_writing=lambda: stages.start("writing"))
        for line in saved.reports:
            report.say(f"{path} {line}" if line.startswith("channel") else f"{path}: {line}")
        if not archive and not args.quiet:
            kept = "no checksum" if not saved.checksummed else "its NaN/infinities in a trailer only quorvane reads"
            report.note(f"{PROGRAM}: note: {_shown(args, output)} is a bare stream: no metadata (dtype, shape, names, "
                        f"sample rate), {kept}; {ARCHIVE_SUFFIX} keeps everything")
        raw = 4 * signal.sample_count
        report.say(f"{path} -> {_shown(args, output)}: {saved.channels} channel(s), {signal.sample_count} samples, "
                   f"{saved.file_bytes} bytes (ratio {raw / saved.stream_bytes:.2f} against float32, "
                   f"{input_bytes / saved.file_bytes:.2f} against the {input_bytes}-byte input file)")
        if args.output == STDIO:
            report.data = output

    return _for_each_input(args, work, compressed_inputs=False)


def _report_name(path: Path) -> str:
    return "<stdin>" if path.name.startswith("stdin.") and path.parent.name.startswith("quorvane-") else str(path)


def _shown(args: argparse.Namespace, output: Path) -> str:
    return "<stdout>" if args.output == STDIO else str(output)


def _single_scale(value: Optional[str]) -> Optional[int]:
    if value is None:
        return None
    scales = _parse_scales([value])
    if not scales or len(scales) != 1:
        raise UsageError(f"--scale takes one value here, got {value!r}")
    return scales[0]


def _restrict(value: Optional[str], allowed: Sequence[T]) -> List[T]:
    if value is None:
        return list(allowed)
    if value not in allowed:
        raise UsageError(f"unknown value {value!r}; choose from {', '.join(map(str, allowed))}")
    return [cast(T, value)]


def _restrict_coder(value: Optional[str]) -> List[CoderName]:
    if value is None:
        return list(CODERS)
    return [check_coder(value)]


def _wants_archive(args: argparse.Namespace, signal: SignalData) -> bool:
    if args.container == "qrv":
        if len(signal.channels) != 1:
            raise CliError(f"{len(signal.channels)} channels need a {ARCHIVE_SUFFIX} archive, not {STREAM_SUFFIX}")
        return False
    # Only an archive keeps dtype, shape, names, sample rate and checksums.
    return True


def _archive_by_suffix(output: Path, default: bool, channels: int) -> bool:
    suffix = output.suffix.lower()
    if suffix == STREAM_SUFFIX:
        if channels != 1:
            raise CliError(f"{output}: {channels} channels need a {ARCHIVE_SUFFIX} archive")
        return False
    if suffix == ARCHIVE_SUFFIX:
        return True
    return default


# ---------------------------------------------------------------- decompress


def run_decompress(args: argparse.Namespace) -> int:
    def work(path: Path, report: _Report) -> None:
        compressed = read_compressed(path)  # checks before any output is chosen or written
        meta = describe(compressed)
        source = meta.get("source")
        kind = args.format or (source if source in FORMAT_SUFFIX else "npy")
        if args.output is not None and args.output != STDIO:
            output: Path = args.output
            try:
                kind = format_of(output)
            except SignalFileError:
                if args.format is None:
                    raise
        else:
            output = _output_path(args, path, _source_suffix(meta, kind))
        _check_writable(output, args.force, path)
        large = sum(compressed.sample_counts()) >= LARGE_SIGNAL_SAMPLES
        with StageBar(["decoding", "writing"], description=_report_name(path),
                      enabled=args.inner_progress if large else False) as stages:
            stages.start("decoding")
            channel_bar = args.inner_progress if len(compressed.streams) > 1 else False
            loaded = decode_compressed(path, compressed, show_progress=channel_bar, jobs=args.channel_jobs)
            stages.start("writing")
            write_signal(output, loaded.channels, meta, kind=kind, sample_rate=args.sample_rate)
        samples = sum(c.size for c in loaded.channels)
        report.say(f"{path} -> {_shown(args, output)}: {len(loaded.channels)} channel(s), {samples} samples")
        if args.output == STDIO:
            report.data = output

    return _for_each_input(args, work, compressed_inputs=True)


def _source_suffix(meta: Dict[str, Any], kind: str) -> str:
    """The input's own suffix (.txt stays .txt) when it is of the output's kind."""
    suffix = meta.get("suffix")
    if isinstance(suffix, str):
        try:
            if format_of(Path("x" + suffix)) == kind:
                return suffix
        except SignalFileError:
            pass
    return FORMAT_SUFFIX[kind]


# ---------------------------------------------------------------- info


_FIELD_LINES: List[Tuple[str, Callable[[StreamHeader], str]]] = [
    ("magic", lambda h: h.as_dict()["magic"]),
    ("version", lambda h: ".".join(str(b) for b in h.version)),
    ("compression tag", lambda h: h.as_dict()["compression_tag"]),
    ("method", lambda h: f"{h.as_dict()['method_code']} ({h.method})"),
    ("levels", lambda h: str(h.levels)),
    ("scale", lambda h: f"{h.scale} (step 2^-{h.scale} = {h.step:.6g} of the range)"),
    ("coder", lambda h: f"{h.coder} ({h.coder_name})"),
    ("reserved", lambda h: str(h.reserved)),
    ("sample count", lambda h: str(h.sample_count)),
    ("min", lambda h: f"{h.min:.9g}"),
    ("max", lambda h: f"{h.max:.9g}"),
    ("mean", lambda h: f"{h.mean:.9g} (of the normalised signal)"),
    ("payload length", lambda h: f"{h.payload_len} bytes"),
    ("reserved tail", lambda h: h.reserved_tail.hex()),
]


def _header_text(header: StreamHeader, indent: str = "") -> List[str]:
    lines = [f"{indent}{name:<16} {render(header)}" for name, render in _FIELD_LINES]
    if header.true_extremes is not None:
        low, high = header.true_extremes
        lines.append(f"{indent}{'true extremes':<16} {low:.9g} .. {high:.9g} (min and max above "
                     f"are the decoder's constants)")
    ratio = 4 * header.sample_count / header.stream_len if header.stream_len else 0.0
    lines.append(f"{indent}{'stream length':<16} {header.stream_len} bytes ({HEADER_SIZE} header + payload; "
                 f"ratio {ratio:.2f} against float32)")
    return lines


def _trailer_text(trailer: Trailer, size: int, header: StreamHeader, indent: str) -> List[str]:
    if trailer.form == "none":
        return [f"{indent}{'trailer':<16} none (float32, no checksum)"]
    if trailer.form == "legacy-float64":
        return [f"{indent}{'trailer':<16} float64 marker of the older codec (no checksum)"]
    counts = ", ".join(f"{count} {name}" for name, count in trailer.runs.counts().items() if count)
    lines = [f"{indent}{'trailer':<16} {size - header.stream_len} bytes: dtype {trailer.dtype}, CRC-32 ok"]
    lines.append(f"{indent}{'non-finite':<16} {counts or 'none'}"
                 + (f" in {len(trailer.runs)} run(s)" if counts else ""))
    if trailer.sample_count is not None:
        lines.append(f"{indent}{'samples':<16} {trailer.sample_count}, all non-finite (placeholder stream)")
    return lines


def _checksum_text(compressed: Compressed) -> str:
    if compressed.archive and compressed.version >= 2:
        return "CRC-32 of every stream and of meta.json: ok"
    if compressed.archive:
        return "zip CRC-32 of every member: ok (an archive of format 1: streams without trailers)"
    if compressed.checksummed:
        return "CRC-32 in the trailer: ok"
    return "none: a bare stream carries no checksum"


def _compressed_inputs(args: argparse.Namespace, scratch: Path) -> Iterator[Tuple[str, Callable[[], Path]]]:
    """Each input's shown name and how to reach it as a file; "-" (once at
    most) is standard input, copied into `scratch` when its turn comes, so
    that a failure to read it is that input's failure like any other."""
    if list(args.inputs).count(STDIO) > 1:
        raise UsageError("- (standard input) can be given only once")
    args.scratch = scratch
    for given in args.inputs:
        if given == STDIO:
            yield "<stdin>", lambda: _stdin_copy(args, compressed=True)
        else:
            yield str(given), functools.partial(Path, given)


def _shown_error(error: BaseException, path: Optional[Path], shown: str) -> str:
    """`_describe` with a standard-input copy named as the user knows it."""
    if path is None:  # standard input could not be read
        return f"{shown}: {_describe(error)}"
    return _describe(error, path).replace(str(path), shown)


def run_info(args: argparse.Namespace) -> int:
    with tempfile.TemporaryDirectory(prefix="quorvane-") as scratch:
        return _run_info(args, Path(scratch))


def _run_info(args: argparse.Namespace, scratch: Path) -> int:
    failures = 0
    documents = []
    for shown, reach in _compressed_inputs(args, scratch):
        path: Optional[Path] = None
        try:
            path = reach()
            compressed = read_compressed(path)
            headers = compressed.headers()
        except Exception as error:
            failures += 1
            _report_error(_shown_error(error, path, shown))
            continue
        if args.json:
            documents.append({
                "file": shown,
                "bytes": path.stat().st_size,
                "archive": compressed.archive,
                "checksummed": compressed.checksummed,
                "meta": compressed.meta,
                "streams": [dict(h.as_dict(), stream_len=h.stream_len, bytes=len(s), trailer=_trailer_dict(t))
                            for h, s, t in zip(headers, compressed.streams, compressed.trailers)],
            })
            continue
        print(f"{shown}: {path.stat().st_size} bytes, "
              f"{'archive of ' + str(len(headers)) + ' stream(s)' if compressed.archive else 'one stream'}")
        print(f"  {'checksum':<16} {_checksum_text(compressed)}")
        for key, value in sorted(compressed.meta.items()):
            print(f"  {key:<16} {json.dumps(value)}")
        indent = "    " if compressed.archive else "  "
        for index, (header, stream, trailer) in enumerate(zip(headers, compressed.streams, compressed.trailers)):
            if compressed.archive:
                print(f"  channel {index}:")
            for line in _header_text(header, indent) + _trailer_text(trailer, len(stream), header, indent):
                print(line)
    if args.json:
        print(json.dumps(documents if len(args.inputs) > 1 else (documents[0] if documents else None), indent=2))
    return 1 if failures else 0


def _trailer_dict(trailer: Trailer) -> Dict[str, Any]:
    return {"form": trailer.form, "dtype": trailer.dtype, "checksummed": trailer.checksummed,
            "non_finite": trailer.runs.counts(), "runs": len(trailer.runs), "sample_count": trailer.sample_count}


# ---------------------------------------------------------------- verify


def run_verify(args: argparse.Namespace) -> int:
    failures = 0
    with tempfile.TemporaryDirectory(prefix="quorvane-") as scratch:
        for shown, reach in _compressed_inputs(args, Path(scratch)):
            path: Optional[Path] = None
            try:
                path = reach()
                loaded = _checked_and_decoded(path, shown, _progress_flag(args))
            except Exception as error:
                failures += 1
                print(f"{shown}: FAILED: {_shown_error(error, path, shown).removeprefix(f'{shown}: ')}")
                continue
            compressed = loaded.compressed
            what = (f"{len(compressed.streams)} channel(s)" if compressed.archive else "one stream")
            checked = "no checksum (bare stream)" if not compressed.checksummed else "checksums match"
            samples = sum(channel.size for channel in loaded.channels)
            print(f"{shown}: OK: {what}, {samples} samples decode; {checked}")
    return 1 if failures else 0


def _checked_and_decoded(path: Path, shown: str, show_progress: Optional[bool]) -> LoadedSignal:
    """`load_signal` with a bar for a large file: checking its checksums is
    quick, decoding is what takes the time (a bar of channels when it has several)."""
    compressed = read_compressed(path)
    large = sum(compressed.sample_counts()) >= LARGE_SIGNAL_SAMPLES
    with StageBar(["checking", "decoding"], description=shown, enabled=show_progress if large else False) as stages:
        stages.start("decoding")
        channel_bar = show_progress if len(compressed.streams) > 1 else False
        return decode_compressed(path, compressed, show_progress=channel_bar)


# ---------------------------------------------------------------- eval


def run_eval(args: argparse.Namespace) -> int:
    methods = _split_list(args.method, METHODS, "method") or list(METHODS)
    coders = _split_list(args.coder, ALL_CODERS, "coder") or list(CODERS)
    cutoffs = _split_list(args.cutoff, CUTOFFS, "cutoff") or list(CUTOFFS)
    scales = _parse_scales(args.scale) or list(SCALES)
    if args.repeat < 1:
        raise UsageError("--repeat must be at least 1")
    for path in (args.output, args.plot):
        if path is not None and not path.parent.is_dir():
            raise CliError(f"{path.parent}: no such directory")
    if args.plot is not None:
        from .plotting import load_pyplot

        load_pyplot()  # fail before the long run, not after it
    with tempfile.TemporaryDirectory(prefix="quorvane-") as scratch:
        args.scratch = Path(scratch)
        source = _stdin_copy(args, compressed=False) if args.input == STDIO else args.input
        signal = read_signal(source, columns=args.columns)
    choices = grid(methods=cast(List[MethodName], methods), coders=cast(List[CoderName], coders),
                   scales=scales, cutoffs=cast(List[CutoffName], cutoffs))
    started = time.perf_counter()
    _announce(args, f"measuring {len(choices)} combinations on {args.input} ({signal.sample_count} samples, "
                    f"{args.repeat} timing run(s) each)")
    rows = evaluate(_finite_channels(args.input, signal), choices, repeat=args.repeat,
                    show_progress=_progress_flag(args), jobs=_jobs(args))
    text = format_csv(rows) if args.csv else format_table(rows)
    if args.output is not None:
        with atomic_output(args.output) as temporary:
            temporary.write_text(text, encoding="utf-8")
    else:
        sys.stdout.write(text)
    if args.plot is not None:
        from .plotting import plot_rate_distortion

        suffix = args.plot.suffix.lstrip(".").lower() or "png"
        with atomic_output(args.plot) as temporary:
            plot_rate_distortion(rows, temporary, title=f"{args.input.name}: {signal.sample_count} samples",
                                 image_format=suffix)
    if args.output is not None or args.plot is not None:
        print(f"{len(rows)} combinations in {time.perf_counter() - started:.1f} s", file=sys.stderr)
    return 0


def _finite_channels(path: Path, signal: SignalData) -> List[Any]:
    """Channels as the codec sees them: NaN and infinities are kept beside
    the stream, so errors are measured on the finite samples' stream."""
    prepared = [prepare_signal(codec_input(channel)) for channel in signal.channels]
    missing = sum(item.runs.sample_count for item in prepared)
    if missing:
        print(f"{PROGRAM}: note: {path}: {missing} NaN/infinite sample(s) are measured as the values that "
              f"stand in for them in the stream; files keep them in a trailer not counted here", file=sys.stderr)
    return [item.codec_samples() for item in prepared]


# ---------------------------------------------------------------- entry


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args))
    except KeyboardInterrupt:
        _report_error("interrupted")
        return 130
    except UsageError as error:
        _report_error(f"{error} (see --help)")
        return 2
    except BrokenPipeError:
        # The reader went away (quorvane eval | head); nothing left to say,
        # and the final flush at exit must not complain either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as error:
        # Option problems are about the command line, not about a file.
        path = None if isinstance(error, CliError) else getattr(args, "input", None)
        _report_error(_describe(error, path))
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
