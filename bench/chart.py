"""Draws the benchmark's time ratios as an SVG bar chart, with no plotting library.

One group of horizontal bars per input, one bar per encoder, each bar drawn
from the line at 1 (the baseline encoder) to the encoder's ratio on a log
scale, so that faster encoders reach left and slower ones right. The output
is plain text that changes only where the figures do.
"""

import math
from xml.sax.saxutils import escape

# Colours that stay apart for colour-blind readers (Okabe and Ito).
COLOURS = ["#0072B2", "#56B4E9", "#E69F00", "#F0E442", "#009E73", "#D55E00", "#CC79A7", "#000000"]

WIDTH = 760
LABEL_RIGHT = 110  # input names end here
PLOT_LEFT, PLOT_RIGHT = 165, WIDTH - 50
BAR_HEIGHT, BAR_GAP, GROUP_GAP = 9, 1, 12
LEGEND_ROW = 18
FONT = 'font-family="sans-serif"'


def ratio_label(ratio):
    return f"{ratio:.2f}×" if ratio < 10 else f"{ratio:.1f}×"


def scale_ticks(low, high):
    """The values 1, 2 and 5 times a power of ten from low to high."""
    ticks = [step * 10.0**exponent for exponent in range(-6, 7) for step in (1, 2, 5)]
    return [tick for tick in ticks if low * (1 - 1e-9) <= tick <= high * (1 + 1e-9)]


def scale_bounds(ratios):
    """The nearest ticks around all ratios, at least 0.5 to 2 so that the line
    at 1 never sits at an edge."""
    ticks = scale_ticks(0, math.inf)
    low = max(tick for tick in ticks if tick <= min(ratios, default=1) and tick <= 0.5)
    high = min(tick for tick in ticks if tick >= max(ratios, default=1) and tick >= 2)
    return low, high


def svg_start(title, height):
    """The opening of a chart WIDTH wide: the white ground and the title."""
    return [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{height}" viewBox="0 0 {WIDTH} {height}">',
        f'<rect width="{WIDTH}" height="{height}" fill="#ffffff"/>',
        f'<text x="{WIDTH / 2}" y="20" text-anchor="middle" {FONT} font-size="13" font-weight="bold">{escape(title)}</text>',
    ]


def legend(names, baseline, per_row=4):
    """A coloured square and a name per series, per_row to a row from the
    text baseline of the first."""
    parts = []
    for index, name in enumerate(names):
        left, y = 40 + index % per_row * 175, baseline + index // per_row * LEGEND_ROW
        parts.append(f'<rect x="{left}" y="{y - 9}" width="10" height="10" fill="{COLOURS[index]}"/>')
        parts.append(f'<text x="{left + 15}" y="{y}" {FONT} font-size="11">{escape(name)}</text>')
    return parts


def svg_chart(title, inputs, encoders, ratios):
    """ratios[input][encoder] is the encoder's time over the baseline's, or
    missing where the encoder refuses the input."""
    low, high = scale_bounds([ratio for row in ratios.values() for ratio in row.values()])

    def x(ratio):
        share = (math.log10(ratio) - math.log10(low)) / (math.log10(high) - math.log10(low))
        return PLOT_LEFT + share * (PLOT_RIGHT - PLOT_LEFT)

    legend_per_row = 4
    legend_rows = math.ceil(len(encoders) / legend_per_row)
    top = 34 + legend_rows * LEGEND_ROW + 8
    group_height = len(encoders) * (BAR_HEIGHT + BAR_GAP) + GROUP_GAP
    bottom = top + len(inputs) * group_height
    height = bottom + 30

    parts = svg_start(title, height) + legend(encoders, 44, legend_per_row)

    for tick in scale_ticks(low, high):
        position = x(tick)
        colour = "#333333" if tick == 1 else "#dddddd"
        parts.append(
            f'<line x1="{position:.1f}" y1="{top - 4}" x2="{position:.1f}" y2="{bottom}" '
            f'stroke="{colour}" stroke-width="{1.5 if tick == 1 else 1}"/>'
        )
        parts.append(
            f'<text x="{position:.1f}" y="{bottom + 14}" text-anchor="middle" {FONT} font-size="11">{tick:g}×</text>'
        )

    for group, input_name in enumerate(inputs):
        group_top = top + group * group_height
        middle = group_top + len(encoders) * (BAR_HEIGHT + BAR_GAP) / 2
        parts.append(
            f'<text x="{LABEL_RIGHT}" y="{middle + 4:.1f}" text-anchor="end" {FONT} font-size="11">'
            f"{escape(input_name)}</text>"
        )
        for index, encoder in enumerate(encoders):
            bar_top = group_top + index * (BAR_HEIGHT + BAR_GAP)
            ratio = ratios.get(input_name, {}).get(encoder)
            if ratio is None:
                parts.append(
                    f'<text x="{x(1) + 4:.1f}" y="{bar_top + BAR_HEIGHT - 1}" {FONT} font-size="9" '
                    f'fill="#777777">n/a</text>'
                )
                continue
            start, end = sorted((x(1), x(ratio)))
            parts.append(
                f'<rect x="{start:.1f}" y="{bar_top}" width="{max(end - start, 1.5):.1f}" '
                f'height="{BAR_HEIGHT}" fill="{COLOURS[index]}"/>'
            )
            faster = ratio < 1
            parts.append(
                f'<text x="{(start - 3 if faster else end + 3):.1f}" y="{bar_top + BAR_HEIGHT - 1}" '
                f'text-anchor="{"end" if faster else "start"}" {FONT} font-size="9">'
                f"{ratio_label(ratio)}</text>"
            )
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def svg_lines(title, sizes, panels):
    """Panels side by side, each a line per series against output size, both
    axes on log scales; panels are (label, {series: [value per size]})."""
    margin, panel_height = 58, 240
    panel_width = (WIDTH - 3 * margin) // 2
    height = 60 + panel_height + 46

    def log_position(value, low, high, start, end):
        return start + (math.log10(value) - math.log10(low)) / (math.log10(high) - math.log10(low)) * (end - start)

    x_low, x_high = min(sizes), max(sizes)
    series_names = list(panels[0][1])
    parts = svg_start(title, height) + legend(series_names, 42)
    for panel, (label, series) in enumerate(panels):
        left, top = margin + panel * (panel_width + margin), 60
        right, bottom = left + panel_width, top + panel_height
        values = [value for row in series.values() for value in row]
        y_low, y_high = 10 ** math.floor(math.log10(min(values))), 10 ** math.ceil(math.log10(max(values)))
        parts.append(
            f'<text x="{left + panel_width / 2}" y="{top - 4}" text-anchor="middle" {FONT} font-size="11">{escape(label)}</text>'
        )
        for tick in scale_ticks(y_low, y_high):
            y = log_position(tick, y_low, y_high, bottom, top)
            parts.append(f'<line x1="{left}" y1="{y:.1f}" x2="{right}" y2="{y:.1f}" stroke="#dddddd"/>')
            parts.append(
                f'<text x="{left - 4}" y="{y + 4:.1f}" text-anchor="end" {FONT} font-size="10">{tick:g}</text>'
            )
        for exponent in range(0, math.floor(math.log10(x_high)) + 1, 3):
            if 10**exponent < x_low:
                continue
            x = log_position(10**exponent, x_low, x_high, left, right)
            name = ("1 B", "1 KB", "1 MB", "1 GB", "1 TB")[exponent // 3]
            parts.append(f'<line x1="{x:.1f}" y1="{top}" x2="{x:.1f}" y2="{bottom}" stroke="#dddddd"/>')
            parts.append(
                f'<text x="{x:.1f}" y="{bottom + 14}" text-anchor="middle" {FONT} font-size="10">{name}</text>'
            )
        parts.append(
            f'<text x="{left + panel_width / 2}" y="{bottom + 32}" text-anchor="middle" {FONT} font-size="11">output size</text>'
        )
        for index, name in enumerate(series_names):
            points = " ".join(
                f"{log_position(size, x_low, x_high, left, right):.1f},{log_position(value, y_low, y_high, bottom, top):.1f}"
                for size, value in zip(sizes, series[name], strict=True)
            )
            parts.append(f'<polyline points="{points}" fill="none" stroke="{COLOURS[index]}" stroke-width="1.5"/>')
    parts.append("</svg>")
    return "\n".join(parts) + "\n"
