"""kov_sr inside scikit-learn: a KovRegressor fitted on a pandas DataFrame, then cross-validated.

Run with:  python examples/sklearn_example.py   (needs `pip install kov-sr[sklearn]`)
"""

import numpy as np
import pandas as pd
from sklearn.model_selection import cross_val_score

from kov_sr.sklearn import KovRegressor

# The area of a disc from its radius; the "height" column is there to be ignored.
rng = np.random.default_rng(0)
frame = pd.DataFrame({"radius": rng.uniform(0.5, 3.0, 40), "height": rng.uniform(1.0, 2.0, 40)})
area = np.pi * frame["radius"] ** 2

model = KovRegressor(max_complexity=5, beam_width=200)
model.fit(frame, area)
print("formula:", model.formula_)  # the column names stand in for v_{0}, v_{1}
print("R^2:    ", model.score(frame, area))
print(model.equations_.to_string(index=False))  # the Pareto table, most accurate first

new_discs = pd.DataFrame({"radius": [1.0, 2.0], "height": [1.0, 1.0]})
print("predicted areas:", model.predict(new_discs))

# It is an ordinary scikit-learn estimator: clone, grid search and cross-validation work.
scores = cross_val_score(KovRegressor(max_complexity=5, beam_width=200), frame, area, cv=3)
print("cross-validated R^2:", np.round(scores, 6))
