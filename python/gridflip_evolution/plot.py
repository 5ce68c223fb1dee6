"""The run's progress as a picture: what it evolved on which device and how it ended, in the
title; the best score over time; and the candidates per second with the share dropped."""

from __future__ import annotations

import math
from pathlib import Path
from typing import TYPE_CHECKING

from .record import score_text

if TYPE_CHECKING:
    from .evolution import Evolution

DEVICES = {
    "1k": "iCE40 HX1K/LP1K",
    "8k": "iCE40 HX8K/LP8K",
    "5k": "iCE40 UP5K",
    "384": "iCE40 LP384",
    "lm4k": "iCE40 LM4K",
    "u4k": "iCE40 U4K",
}


def device_of(circuit: Path) -> str:
    """The device the .asc names in its .device line."""
    try:
        with open(circuit, "rb") as file:
            for line in file.read(1 << 16).splitlines():
                if line.startswith(b".device "):
                    name = line.split()[1].decode("ascii", "replace")
                    return DEVICES.get(name, f"iCE40 {name}")
    except OSError:
        pass
    return "an iCE40 device"


def plot_progress(result: Evolution, path: Path, run: dict) -> bool:
    """Writes the PNG; False without matplotlib."""
    try:
        from matplotlib.figure import Figure  # no pyplot: leaves the caller's backend alone
    except ImportError:
        return False
    import io

    from .files import write_atomically

    target = (run.get("target") or {}).get("description") or run.get("fitness", "the fitness")
    seed = Path(result.output) / "seed.asc"
    source = Path((run.get("seed") or {}).get("source") or "seed.asc").name
    ended = result.stopped or "running"
    title = (
        f"{target} on {device_of(seed)} ({source}): best {result.summary()}, {ended}\n"
        f"{result.candidates:,} candidates, {result.generations:,} generations, "
        f"{result.seconds:.1f} s"
    )

    # A run told never to stop at full marks has an infinite max_score: no line for it.
    full = (
        result.max_score
        if result.max_score is not None and math.isfinite(result.max_score)
        else None
    )
    steps = list(result.progress)
    figure = Figure(figsize=(10, 7))
    top, bottom = figure.subplots(2, 1, sharex=True, height_ratios=(3, 2))
    if steps:
        times = [p.seconds for p in steps] + [max(result.seconds, steps[-1].seconds)]
        scores = [p.score for p in steps] + [steps[-1].score]
        if full is not None:
            top.axhline(
                full,
                linestyle="--",
                color="grey",
                zorder=1,
                label=f"full marks ({score_text(full)})",
            )
        top.step(times, scores, where="post", color="C0", linewidth=2, zorder=2, label="best score")
        top.plot([steps[-1].seconds], [steps[-1].score], "o", color="C0", zorder=3)
        top.annotate(
            score_text(steps[-1].score),
            (steps[-1].seconds, steps[-1].score),
            textcoords="offset points",
            xytext=(6, -14),
        )
        low = min(scores)
        high = max(full if full is not None else scores[-1], scores[-1])
        margin = max((high - low) * 0.08, 0.5)
        top.set_ylim(low - margin, high + margin)
    top.set_ylabel("score")
    top.grid(alpha=0.3)
    top.legend(loc="lower right")

    samples = result.samples
    if len(samples) >= 2:
        rates = [
            (b_c - a_c) / (b_t - a_t)
            for (a_t, a_c), (b_t, b_c) in zip(samples, samples[1:])
            if b_t > a_t
        ]
        bottom.step([t for t, _ in samples[1 : len(rates) + 1]], rates, where="pre", color="C1")
    dropped = {o: n for o, n in result.outcomes.items() if o != "scored"}
    share = ", ".join(
        f"{n / max(result.candidates, 1):.1%} {o}" for o, n in sorted(dropped.items())
    )
    bottom.set_title(f"candidates per second; dropped: {share or 'none'}", fontsize=10)
    bottom.set_xlabel("seconds")
    bottom.set_ylabel("candidates / s")
    bottom.grid(alpha=0.3)
    figure.suptitle(title, fontsize=11)
    figure.tight_layout()
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=100)
    write_atomically(path, buffer.getvalue())
    return True
