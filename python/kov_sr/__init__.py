from kov_sr import _core
from kov_sr._core import *  # noqa: F401,F403  (re-exports exactly the compiled module's __all__)

__doc__ = _core.__doc__
__all__ = list(_core.__all__)
