"""Recall@10 versus median latency scatter plot for bench/compare.py.

Every point is one (system, configuration) row of a results table. Points
carry a number next to them; the key below the axes spells out which row each
number is, so that rows with nearly the same latency and recall stay readable.
"""
import math

COLOURS = {"ostrel": "tab:red", "numpy brute force": "tab:gray", "faiss": "tab:blue",
           "hnswlib": "tab:green"}
MARKERS = {"ostrel": "o", "numpy brute force": "s", "faiss": "^", "hnswlib": "D"}
DPI = 110  # the label placement works in pixels of the saved image


def recall_latency_plot(points, title, path):
    """Writes a PNG to `path`.

    points: list of (system, configuration, p50 in µs, recall@10 in [0, 1]).
    Returns False (and writes nothing) when matplotlib is not importable."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib import ticker
    except ImportError:
        return False

    points = [p for p in points if p[2] > 0 and not math.isnan(p[3])]
    key_lines = [f"{i + 1:>2}  {system}: {config}" for i, (system, config, _, _) in
                 enumerate(points)]
    # Height in inches: the axes block plus one line of key per point.
    axes_h, key_h = 5.0, 0.125 * len(points) + 0.25
    height = axes_h + key_h
    fig = plt.figure(figsize=(11, height), dpi=DPI)
    ax = fig.add_axes([0.08, (key_h + 0.6) / height, 0.88, (axes_h - 1.0) / height])
    seen = set()
    for system, _, p50, rec in points:
        ax.scatter([p50], [rec], s=36, color=COLOURS.get(system, "black"),
                   marker=MARKERS.get(system, "o"),
                   label=system if system not in seen else None, zorder=3)
        seen.add(system)
    ax.set_xscale("log")
    ax.set_ylim(-0.04, 1.06)
    if points:
        lo, hi = min(p[2] for p in points), max(p[2] for p in points)
        ax.set_xlim(lo / 1.5, hi * 1.5)
    ax.xaxis.set_major_locator(ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
    ax.xaxis.set_major_formatter(ticker.FuncFormatter(lambda v, _: f"{v:,.0f}" if v >= 1
                                                      else f"{v:g}"))
    ax.xaxis.set_minor_formatter(ticker.NullFormatter())
    _label_points(ax, points)
    ax.set_xlabel("search p50 (µs, log scale; one query per call)")
    ax.set_ylabel("recall@10")
    ax.grid(True, which="both", alpha=0.3)
    ax.set_title(title)
    # The legend goes beside the key, where it cannot hide a point.
    fig.legend(loc="upper right", bbox_to_anchor=(0.98, key_h / height), fontsize=8)
    fig.text(0.02, key_h / height, "\n".join(key_lines), va="top", ha="left",
             fontsize=7.5, family="monospace")
    fig.savefig(path, dpi=DPI)
    plt.close(fig)
    return True


def _label_points(ax, points):
    """Numbers the points. Points that coincide on screen share one label
    ("2,12"); each label goes to the side of its point that overlaps the labels
    already placed the least."""
    to_px = ax.transData.transform
    xy = [tuple(to_px((p50, rec))) for _, _, p50, rec in points]
    groups = []  # [(x, y, [indices])]
    for i, (x, y) in enumerate(xy):
        for g in groups:
            if abs(g[0] - x) < 4 and abs(g[1] - y) < 4:
                g[2].append(i)
                break
        else:
            groups.append((x, y, [i]))
    offsets = [(6, 3), (-6, 3), (6, -14), (-6, -14), (0, 8), (0, -20)]
    placed = [(x - 5, y - 5, x + 5, y + 5) for x, y in xy]  # the markers themselves
    for x, y, members in groups:
        text = ",".join(str(i + 1) for i in members)
        w, h = 7.5 * len(text), 12

        def box(dx, dy):
            left = x + dx if dx > 0 else (x + dx - w if dx < 0 else x - w / 2)
            return (left, y + dy, left + w, y + dy + h)

        def overlap(b):
            return sum(max(0, min(b[2], p[2]) - max(b[0], p[0])) *
                       max(0, min(b[3], p[3]) - max(b[1], p[1])) for p in placed)

        dx, dy = min(offsets, key=lambda o: overlap(box(*o)))
        placed.append(box(dx, dy))
        system = points[members[0]][0]
        ax.annotate(text, (points[members[0]][2], points[members[0]][3]),
                    textcoords="offset pixels", xytext=(dx, dy),
                    ha="left" if dx > 0 else ("right" if dx < 0 else "center"), va="bottom",
                    fontsize=8, color=COLOURS.get(system, "black"))
