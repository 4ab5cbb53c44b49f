"""Adapters through which host libraries' backend dispatch finds this package.

One module per host (``scanpy.py`` for the ``scanpy.backends`` entry point
group of scverse-backends); each is cheap to import and loads the layout
code only when called.
"""

__all__: list[str] = []
