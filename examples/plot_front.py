"""The Pareto front of a search, and its predictions, drawn with kov_sr.plot.

Run with:  python examples/plot_front.py [FRONT.png]   (needs `pip install "kov-sr[sklearn,plot]"`)

The README's picture is made by `python examples/plot_front.py examples/front.png`.
"""

import sys

import matplotlib

matplotlib.use("Agg")  # files only: no window
import numpy as np
import pandas as pd
from matplotlib import pyplot as plt

from kov_sr import plot
from kov_sr.sklearn import KovRegressor

# The period of a pendulum against its length, T = 2π √(L / g), timed to about half a percent.
rng = np.random.default_rng(1)
table = pd.DataFrame({"length": rng.uniform(0.2, 2.0, 60)})
period = 2 * np.pi * np.sqrt(table["length"] / 9.81) * (1 + 0.005 * rng.standard_normal(60))

model = KovRegressor(max_complexity=6, time_limit=10).fit(table, period)
print("selected:", model.formula_, " error", model.result_.error)

figure, (front_axes, prediction_axes) = plt.subplots(1, 2, figsize=(11, 4.2))
plot.front(model, ax=front_axes)
front_axes.set_title("Pareto front: the star is the selected formula")
plot.predictions(model, table, period, ax=prediction_axes)
prediction_axes.set_title("period (s): predicted against observed")
figure.tight_layout()
if len(sys.argv) > 1:
    figure.savefig(sys.argv[1], dpi=100)
    print("wrote", sys.argv[1])
