"""Histograms of the value fields of block files, for a look at runs before
analysing them (`python3 -m tvq plot SOURCE... -o run.png`): computed in one
pass over the files' chunks, so that memory is bounded by the step whatever
the files' size, and drawn one panel a field, several runs overlaid."""

import math
import os

import numpy as np

from .layout import Layout
from .outputs import NewFile
from .reading import Chunks
from .sources import listed, name_of


class Histogram:
    """The counts of one value field, a row per run, over bins all runs share.

    With a range (lo, hi): bins bins of equal width over it (on integers for
    integer values), and the values outside counted as below and above.
    Without: fine bins of width 2**exponent on a grid (edges at multiples of
    the width, less 0.5 for integers, so that an integer lies at the centre
    of a bin of width 1), at most 16 * bins of them; when the values' range
    grows past that, the width doubles and neighbours merge, exactly, since
    a bin at the next width holds two whole bins. The bins drawn are groups
    of fine bins (edges()). NaN and infinities are counted, not binned."""

    def __init__(self, integer, runs, bins=100, value_range=None):
        self.integer = integer
        self.bins = bins
        self.range = value_range
        self.nan, self.posinf, self.neginf, self.below, self.above = np.zeros((5, runs), np.int64)
        self.exponent = 0 if integer else None
        self.first = None  # the grid index of the first fine bin
        self.counts = np.zeros((runs, 0), np.int64)
        if value_range is not None:
            lo, hi = value_range
            if integer:
                lo, hi = math.ceil(lo), math.floor(hi)
                width = max(1, -(-(hi - lo + 1) // bins))
                self._edges = lo - 0.5 + width * np.arange(-(-(hi - lo + 1) // width) + 1)
            else:
                self._edges = np.linspace(lo, hi, bins + 1)
            self.counts = np.zeros((runs, len(self._edges) - 1), np.int64)

    def add(self, run, column):
        """Counts the values of a column (a NumPy array) for a run."""
        if not len(column):
            return
        lo, hi = column.min(), column.max()  # NaN if there is one
        if not (np.isfinite(lo) and np.isfinite(hi)):
            finite = np.isfinite(column)
            self.nan[run] += np.count_nonzero(np.isnan(column))
            self.posinf[run] += np.count_nonzero(column == np.inf)
            self.neginf[run] += np.count_nonzero(column == -np.inf)
            column = column[finite]
            if not len(column):
                return
            lo, hi = column.min(), column.max()
        if self.range is not None:
            self.below[run] += np.count_nonzero(column < self._edges[0])
            self.above[run] += np.count_nonzero(column > self._edges[-1])
            self.counts[run] += np.histogram(column, self._edges)[0]
            return
        # Float64 holds a float32 divided by any width the bins take exactly.
        values = column if self.integer else column.astype(np.float64)
        lo, hi = values.dtype.type(lo), values.dtype.type(hi)
        if self.first is None:
            if self.integer:
                pass
            elif hi > lo:
                self.exponent = math.frexp((hi - lo) / (16 * self.bins))[1]
            else:  # as fine as a float32 near the value
                self.exponent = math.frexp(abs(lo))[1] - 24 if lo else -149
            self.first = int(self._index(lo))
            self.counts = np.zeros((len(self.counts), 1), np.int64)
        self._cover(self._index(lo), self._index(hi))
        self.counts[run] += np.bincount(self._index(values) - self.first,
                                        minlength=self.counts.shape[1])

    def _index(self, values):
        """The fine bins' grid indexes of values (floor(value / width))."""
        if self.integer:
            return values >> self.exponent
        indexes = np.floor(np.ldexp(values, -self.exponent))
        return int(indexes) if np.ndim(indexes) == 0 else indexes.astype(np.int64)

    def _cover(self, low, high):
        """Fine bins from grid index low to high at least, the bins there are
        kept: the width doubled as often as needed to hold them in 16 * bins."""
        last = self.first + self.counts.shape[1] - 1
        if self.first <= low and high <= last:
            return
        low, high = int(min(low, self.first)), int(max(high, last))
        shift = 0
        while (high >> shift) - (low >> shift) + 1 > 16 * self.bins:
            shift += 1
        counts = np.zeros((len(self.counts), (high >> shift) - (low >> shift) + 1), np.int64)
        old = (self.first + np.arange(self.counts.shape[1])) >> shift
        np.add.at(counts, (slice(None), old - (low >> shift)), self.counts)
        self.counts, self.first = counts, low >> shift
        self.exponent += shift

    def edges(self):
        """(edges, counts): the bins to draw, at most bins of them, and a row
        of counts a run; None without a finite value."""
        if self.range is not None:
            return self._edges, self.counts
        if self.first is None:
            return None
        fine = self.counts.shape[1]
        if fine == 1 and not self.integer:  # one value (a bin is a float32's step)
            value = math.ldexp(self.first, self.exponent)
            half = max(0.5, abs(value) / 1024)
            return np.array([value - half, value + half]), self.counts
        group = -(-fine // self.bins)
        drawn = -(-fine // group)
        counts = np.zeros((len(self.counts), drawn * group), np.int64)
        counts[:, :fine] = self.counts
        edges = np.ldexp((self.first + group * np.arange(drawn + 1)).astype(np.float64),
                         self.exponent)
        return edges - 0.5 * self.integer, counts.reshape(len(counts), drawn, group).sum(axis=2)

    def notes(self, run):
        """What of a run is not drawn, in words ('' for nothing)."""
        said = zip((self.nan[run], self.posinf[run], self.neginf[run], self.below[run],
                    self.above[run]), ("NaN", "+inf", "-inf", "below the range",
                                        "above the range"))
        return ", ".join("%d %s" % (count, what) for count, what in said if count)


def parse_ranges(texts):
    """{field or None (every field): (lo, hi)} of texts 'LO:HI' or 'NAME=LO:HI'."""
    ranges = {}
    for text in texts or ():
        name, _, bounds = text.rpartition("=")
        lo, colon, hi = bounds.partition(":")
        try:
            lo, hi = float(lo), float(hi)
        except ValueError:
            lo = hi = math.nan
        if not colon or not lo < hi or math.isinf(hi - lo):
            raise ValueError("range %r: LO:HI or NAME=LO:HI, with finite LO < HI" % text)
        ranges[name or None] = (lo, hi)
    return ranges


def histograms(sources, bins=100, ranges=None, layout=None, data_size=None, names=None,
               step=1_000_000):
    """([(source, run number, records) a run], {field: Histogram}) of one
    block file or of a list of them, in one pass over their chunks."""
    sources = listed(sources)
    if not 1 <= bins <= 100_000:
        raise ValueError("bins: from 1 to 100000, not %d" % bins)
    shape = Layout(layout, data_size, names)
    ranges = dict(ranges or {})
    for name in ranges:
        if name is not None and name not in shape.names:
            raise ValueError("range of %r: the fields are %s" % (name, ", ".join(shape.names)))
    fields = {name: Histogram(kind == "d", len(sources), bins,
                              ranges.get(name, ranges.get(None)))
              for name, kind in zip(shape.names, shape.kinds)}
    runs = []
    for run, source in enumerate(sources):
        chunks = Chunks(source, step, shape.format, shape.data_size, shape.names)
        records = 0
        for chunk in chunks:
            records += len(chunk)
            for name, histogram in fields.items():
                histogram.add(run, chunk[name])
        header = chunks.header
        runs.append((source, None if header is None else header["run_number"].strip(), records))
    return runs, fields


def figure(sources, bins=100, ranges=None, log=False, layout=None, data_size=None, names=None,
           step=1_000_000):
    """A matplotlib Figure (Agg canvas): a panel per value field, a histogram
    a run, with the field's name on the x axis and a legend for several
    runs; the counts on a log scale when log is true."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    runs, fields = histograms(sources, bins, ranges, layout, data_size, names, step)
    labels = [os.path.basename(os.fsdecode(name_of(source))) for source, _, _ in runs]
    columns = min(3, len(fields))
    rows = math.ceil(len(fields) / columns)
    fig = Figure(figsize=(4 * columns, 3 * rows + 0.6), layout="constrained")
    FigureCanvasAgg(fig)
    records = sum(count for _, _, count in runs)
    if len(runs) == 1:
        fig.suptitle("%s: run %s, %d records" % (labels[0], runs[0][1], records))
    else:
        fig.suptitle("%d runs, %d records" % (len(runs), records))
    for index, (name, histogram) in enumerate(fields.items()):
        axes = fig.add_subplot(rows, columns, index + 1)
        drawn = histogram.edges()
        for run, label in enumerate(labels):
            if drawn is not None:
                axes.stairs(drawn[1][run], drawn[0], fill=len(runs) == 1, label=label,
                            baseline=0.5 if log else 0)
        notes = [(label + ": ") * (len(runs) > 1) + histogram.notes(run)
                 for run, label in enumerate(labels) if histogram.notes(run)]
        if notes:
            axes.set_title("\n".join(notes), fontsize="small", color="0.3")
        axes.set_xlabel(name)
        axes.set_ylabel("records")
        if log:
            axes.set_yscale("log")
        else:
            axes.yaxis.set_major_locator(MaxNLocator(integer=True))
        if histogram.integer:
            axes.xaxis.set_major_locator(MaxNLocator(integer=True))
        if len(runs) > 1 and drawn is not None:
            axes.legend(fontsize="small")
    return fig


def save_new(fig, output):
    """Saves the figure as a PNG under a name that must not exist yet (see
    outputs.NewFile). The file gets the modes any new file gets."""
    with NewFile(output) as new:
        fig.savefig(new.name, format="png", metadata={"Software": None})
