"""``report``: a picture of recorded episodes, with matplotlib (drawn off screen, no pyplot).

    python -m py_engine_rust_gym report runs/eval --out report.png
    py_engine_rust_gym.report(["runs/eval"], "report.png")

The episodes are laid end to end in the order given (a directory's records
in the order they ended), as if one account had traded them one after
another from the first record's balance: the price with every trade marked
(entries as triangles, up for a long and down for a short, exits as
crosses, joined by a line green for a profit and red for a loss), the
equity, its drawdown from the running peak, and a table of each episode's
return (its reward over the balance), P&L, trade count and win rate (the
share of trades with a profit), with the totals. Needs the ``data`` extra.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Iterable, List, Optional, Union

import numpy as np

from .data import require
from .records import EpisodeRecord, load_records

#: Rows of the table before the rest are summed up in one line.
MAX_TABLE_ROWS = 15
#: How trades are marked on the price: marker, colour, size.
MARKS = {"long entry": ("^", "#2ca02c", 40), "short entry": ("v", "#d62728", 40), "exit": ("x", "black", 30)}


@dataclass
class ReportRow:
    """One row of the report's table (an episode, or ``all`` of them)."""

    episode: str
    steps: int
    return_: float
    pnl: float
    trades: int
    win_rate: float

    def cells(self) -> List[str]:
        win = "-" if np.isnan(self.win_rate) else "%.0f%%" % (100 * self.win_rate)
        return [self.episode, str(self.steps), "%+.2f%%" % (100 * self.return_), "%+.2f" % self.pnl,
                str(self.trades), win]


COLUMNS = ["episode", "steps", "return", "P&L", "trades", "win rate"]


def report_rows(records: List[EpisodeRecord]) -> List[ReportRow]:
    """The table: one row per episode, then ``all``."""
    balance = float(records[0].settings["balance"])
    rows = []
    for record in records:
        pnl = record.pnl if record.pnl is not None else record.total_reward
        label = "%s %d%s" % (record.episode_type, record.episode_index, " (page error)" if record.page_error else "")
        rows.append(ReportRow(label, record.steps, record.total_reward / float(record.settings["balance"]), pnl,
                              record.trade_count, record.win_rate))
    wins = np.concatenate([r.trade_column("pnl") for r in records]) if records else np.zeros(0)
    rows.append(ReportRow("all", sum(r.steps for r in rows), sum(r.total_reward for r in records) / balance,
                          sum(r.pnl for r in rows), sum(r.trades for r in rows),
                          float(np.mean(wins > 0)) if len(wins) else float("nan")))
    return rows


def report(records: Iterable[Union[str, "os.PathLike[str]", EpisodeRecord]], out: "str | os.PathLike[str]", *,
           title: Optional[str] = None, dpi: int = 100) -> List[ReportRow]:
    """Draws the report of ``records`` (files, directories of records, or ``EpisodeRecord``) into ``out``
    (a PNG, or any format matplotlib writes, by its suffix) and returns the table's rows."""
    episodes = load_records(records)
    if not episodes:
        raise ValueError("no episode records to report on")
    require("matplotlib", "drawing a report")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    rows = report_rows(episodes)
    table = _table_rows(rows)
    # Inches: the three charts, a gap for their axis label, then the table, which grows with its rows.
    charts, table_height, gap, top, bottom = [3.0, 2.0, 1.2], 0.25 * (len(table) + 1), 0.7, 0.5, 0.15
    figure = Figure(figsize=(12, sum(charts) + 0.5 + gap + table_height + top + bottom), dpi=dpi)
    FigureCanvasAgg(figure)
    outer = figure.add_gridspec(2, 1, height_ratios=[sum(charts) + 0.5, table_height],
                                hspace=gap / ((sum(charts) + 0.5 + table_height) / 2))
    inner = outer[0].subgridspec(3, 1, height_ratios=charts, hspace=0.12)
    price = figure.add_subplot(inner[0])
    equity = figure.add_subplot(inner[1], sharex=price)
    drawdown = figure.add_subplot(inner[2], sharex=price)
    _draw_curves(episodes, price, equity, drawdown)
    _draw_table(figure.add_subplot(outer[1]), table)
    figure.suptitle(title or _title(episodes), fontsize=12)
    height = figure.get_figheight()
    figure.subplots_adjust(left=0.07, right=0.98, top=1 - top / height, bottom=bottom / height)
    figure.savefig(os.fspath(out))
    return rows


def _title(episodes: List[EpisodeRecord]) -> str:
    market = episodes[0].market
    name = os.path.basename(market["path"]) if market.get("path") else "market %s" % market["sha256"][:12]
    return "%d episode%s on %s" % (len(episodes), "" if len(episodes) == 1 else "s", name)


def _draw_curves(episodes: List[EpisodeRecord], price, equity, drawdown) -> None:
    balance = float(episodes[0].settings["balance"])
    offset, start = 0, balance
    curve_x, curve = [], []
    for n, record in enumerate(episodes):
        x = offset + np.arange(len(record.prices))
        price.plot(x, record.prices, color="#44546a", linewidth=1.0)
        _mark_trades(price, record, offset)
        values = start + np.concatenate([[0.0], np.cumsum(record.rewards)])
        curve_x.append(x)
        curve.append(values)
        start = values[-1]
        if n:
            for axis in (price, equity, drawdown):
                axis.axvline(offset - 0.5, color="#bbbbbb", linewidth=0.8, linestyle=":")
        offset += len(record.prices)
    x, values = np.concatenate(curve_x), np.concatenate(curve)
    peak = np.maximum.accumulate(values)
    equity.plot(x, values, color="#1f77b4", linewidth=1.2)
    equity.axhline(balance, color="#999999", linewidth=0.8, linestyle="--")
    drawdown.fill_between(x, 100 * (values / peak - 1), 0, color="#d62728", alpha=0.35, linewidth=0)
    from matplotlib.lines import Line2D
    price.legend([Line2D([], [], marker=marker, color=color, linestyle="") for marker, color, _ in MARKS.values()],
                 list(MARKS), loc="upper left", fontsize=8)
    price.set_ylabel("price")
    equity.set_ylabel("equity")
    drawdown.set_ylabel("drawdown %")
    drawdown.set_xlabel("step (episodes end to end)")
    for axis in (price, equity):
        axis.tick_params(labelbottom=False)
    for axis in (price, equity, drawdown):
        axis.grid(True, color="#eeeeee")


def _mark_trades(axis, record: EpisodeRecord, offset: int) -> None:
    if not record.trades:
        return
    column = record.trade_column
    side, pnl = column("side"), column("pnl")
    entry_x, entry_y = offset + column("entry_step"), column("entry_price")
    exit_x, exit_y = offset + column("exit_step"), column("exit_price")
    for i in range(len(side)):
        axis.plot([entry_x[i], exit_x[i]], [entry_y[i], exit_y[i]], color="#2ca02c" if pnl[i] > 0 else "#d62728",
                  linewidth=0.9, alpha=0.8)
    long = side > 0
    for name, xs, ys in (("long entry", entry_x[long], entry_y[long]), ("short entry", entry_x[~long], entry_y[~long]),
                         ("exit", exit_x, exit_y)):
        marker, color, size = MARKS[name]
        axis.scatter(xs, ys, marker=marker, color=color, s=size, zorder=3)


def _table_rows(rows: List[ReportRow]) -> List[ReportRow]:
    """The rows shown: every episode up to ``MAX_TABLE_ROWS``, the rest summed up in one, then ``all``."""
    episodes = rows[:-1]
    if len(episodes) > MAX_TABLE_ROWS:
        rest = episodes[MAX_TABLE_ROWS - 1:]
        episodes = episodes[:MAX_TABLE_ROWS - 1] + [ReportRow(
            "(%d more)" % len(rest), sum(r.steps for r in rest), sum(r.return_ for r in rest),
            sum(r.pnl for r in rest), sum(r.trades for r in rest), float("nan"))]
    return episodes + rows[-1:]


def _draw_table(axis, rows: List[ReportRow]) -> None:
    axis.axis("off")
    table = axis.table(cellText=[row.cells() for row in rows], colLabels=COLUMNS, bbox=[0, 0, 1, 1],
                       cellLoc="right", colLoc="right")
    table.auto_set_font_size(False)
    table.set_fontsize(9)
