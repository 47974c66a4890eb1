"""Small helpers for scripts: a timing decorator."""

import functools
import time

__all__ = ["timer"]


def timer(func):
    """Decorate ``func`` so every call prints how long it took; the result is returned unchanged."""

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        start = time.perf_counter()
        try:
            return func(*args, **kwargs)
        finally:
            print(f"[tl.] {func.__name__} took {time.perf_counter() - start:.3f} s")

    return wrapper
