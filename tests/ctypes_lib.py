"""ctypes helpers shared by the tests that call a module's C functions
directly: the handle and size types, the cf32 structure passed by value, a
declarer for a module's functions and an array's data pointer."""

import ctypes as C

P = C.c_void_p
SZ = C.c_size_t


class CF32(C.Structure):
    _fields_ = [("re", C.c_float), ("im", C.c_float)]


def declarer(lib):
    """sig(name, restype, *argtypes): the function `name` of `lib`, declared."""

    def sig(name, res, *args):
        f = getattr(lib, name)
        f.restype = res
        f.argtypes = list(args)
        return f

    return sig


def ptr(a):
    """The data pointer of a NumPy array (None stays None, a null pointer)."""
    return None if a is None else a.ctypes.data_as(P)
