# The package nimbusdale: the compiled module nimbusdale._nimbusdale, whose every name (its
# docstring included) is offered here, and the Python parts beside it (nimbusdale.distributed).
from . import _nimbusdale

globals().update({name: value for name, value in vars(_nimbusdale).items()
                  if not (name.startswith("__") and name.endswith("__"))})
__doc__ = _nimbusdale.__doc__
__version__ = _nimbusdale.__version__
