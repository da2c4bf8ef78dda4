"""The command line: ``python -m py_engine_rust_gym replay | report | doctor``.

    python -m py_engine_rust_gym replay RECORD.json [--video out.mp4] [--png DIR] [--headed] [--fps 4]
    python -m py_engine_rust_gym report RECORD_OR_DIR... --out report.png
    python -m py_engine_rust_gym doctor [--chromium PATH]

``replay`` exits 1 at the first step where the page differs from the
record (and names it), ``doctor`` when a check fails; any other error
(a missing file, no display for ``--headed``) exits 2 with its message.
"""

from __future__ import annotations

import argparse
import logging
import sys
from typing import List, Optional


def _replay(args: argparse.Namespace) -> int:
    from .replay import ReplayMismatch, replay
    try:
        result = replay(args.record, video=args.video, png_dir=args.png, headed=args.headed, fps=args.fps,
                        chromium=args.chromium)
    except ReplayMismatch as exc:
        print("replay of %s differs from the record at %s" % (args.record, exc), file=sys.stderr)
        return 1
    outcome = ("the record ends at a page fault after step %d: %s" % (result.steps, result.page_error)
               if result.page_error else "P&L %+.2f over %d trades" % (result.pnl or 0.0, result.trade_count))
    frames = "; %d frames written" % result.frames if result.frames else ""
    print("replayed %d steps: every reward matches the record (return %+.2f, %s)%s"
          % (result.steps, result.total_reward, outcome, frames))
    return 0


def _report(args: argparse.Namespace) -> int:
    from .reporting import report
    rows = report(args.records, args.out, title=args.title)
    total = rows[-1]
    episodes = len(rows) - 1
    print("%s: %d episode%s, return %+.2f%%, P&L %+.2f, %d trades" % (
        args.out, episodes, "" if episodes == 1 else "s", 100 * total.return_, total.pnl, total.trades))
    return 0


def _doctor(args: argparse.Namespace) -> int:
    from .doctor import main
    return main(args.chromium)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python -m py_engine_rust_gym", description=__doc__.splitlines()[0])
    top.add_argument("-v", "--verbose", action="store_true", help="log what the package does (INFO)")
    commands = top.add_subparsers(dest="command", required=True)

    replay = commands.add_parser("replay", help="play a recorded episode on the page and check every reward")
    replay.add_argument("record", help="an episode record (.json) written with record_dir= or RecordEpisodes")
    replay.add_argument("--video", metavar="OUT", help="write a video of the page (e.g. out.mp4)")
    replay.add_argument("--png", metavar="DIR", help="write one PNG per step into DIR")
    replay.add_argument("--headed", action="store_true", help="show the page in a window (needs a display)")
    replay.add_argument("--fps", type=float, default=4.0, help="steps per second of --headed and of --video (4)")
    replay.add_argument("--chromium", metavar="PATH", help="the Chromium to run (default: the system's)")
    replay.set_defaults(run=_replay)

    report = commands.add_parser("report", help="draw the equity, drawdown and trades of recorded episodes")
    report.add_argument("records", nargs="+", help="episode records, or directories of them")
    report.add_argument("--out", required=True, help="the picture to write (e.g. report.png)")
    report.add_argument("--title", help="the title (default: the episodes and their market)")
    report.set_defaults(run=_report)

    doctor = commands.add_parser("doctor", help="check that this machine can run the environments")
    doctor.add_argument("--chromium", metavar="PATH", help="the Chromium to check (default: the system's)")
    doctor.set_defaults(run=_doctor)
    return top


def main(argv: Optional[List[str]] = None) -> int:
    args = parser().parse_args(argv)
    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    try:
        return args.run(args)
    except (OSError, ValueError, ImportError, RuntimeError) as exc:
        print("%s: %s" % (args.command, exc), file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
