"""The floor: the collaborator calls of one run, made by plain Python.

``record(run, origins)`` runs ``run()`` once with a profile hook on every
thread and keeps each Python-level call that the module itself made: a call
whose calling frame runs one of the ``origins`` code objects (the pipeline
thread's ``Thread.run``, which calls the module's ``_run_pipeline``, and the
benchmark frames that call the entry point and ``result()``). Calls into the
standard library (threading, os.path, logging) and the constructors of the
module's own records are the module's own work and are listed apart.

``build_floor(calls)`` turns the recorded calls into the source of one plain
function that makes the same calls, with the same argument objects, in the
same order, and nothing else; ``verify`` runs it under the same hook and
checks that it really does.
"""
import gc
import inspect
import sys
import sysconfig
import threading
import types
from collections import Counter

_STDLIB = sysconfig.get_paths()["stdlib"]
_CO_VARARGS = inspect.CO_VARARGS
_CO_VARKEYWORDS = inspect.CO_VARKEYWORDS


class Recorded:
    """One call: ``form`` is "method" (``receiver.name(...)``), "construct"
    (``receiver(...)`` of a class), "instance" (``receiver(...)`` of a callable
    object) or "function" (``receiver(...)`` of a plain function)."""

    __slots__ = ("code", "form", "receiver", "name", "args", "kwargs", "thread")

    def __init__(self, code, form, receiver, name, args, kwargs, thread):
        self.code, self.form, self.receiver, self.name = code, form, receiver, name
        self.args, self.kwargs, self.thread = args, kwargs, thread

    def key(self):
        """What makes two calls the same: the code run and the argument objects."""
        return (self.code, tuple(map(id, self.args)),
                tuple((k, id(v)) for k, v in self.kwargs.items()))

    def label(self):
        return f"{self.code.co_qualname} ({self.code.co_filename.rsplit('/', 1)[-1]})"


def _arguments(frame):
    code = frame.f_code
    values = frame.f_locals
    names = code.co_varnames
    n_pos, n_kw = code.co_argcount, code.co_kwonlyargcount
    args = [values[n] for n in names[:n_pos]]
    kwargs = {n: values[n] for n in names[n_pos:n_pos + n_kw]}
    extra = n_pos + n_kw
    if code.co_flags & _CO_VARARGS:
        args.extend(values[names[extra]])
        extra += 1
    if code.co_flags & _CO_VARKEYWORDS:
        kwargs.update(values[names[extra]])
    return args, kwargs


def _class_attribute(cls, code):
    """The name under which ``cls`` (or a base) holds a function running ``code``."""
    for klass in type.mro(cls):
        for attr_name, value in vars(klass).items():
            fn = value.__func__ if isinstance(value, (staticmethod, classmethod)) else value
            if getattr(fn, "__code__", None) is code:
                return attr_name
    return None


def _function_of(code, free_values):
    """The function object running ``code`` (closures told apart by their cells)."""
    candidates = [f for f in gc.get_referrers(code)
                  if isinstance(f, types.FunctionType) and f.__code__ is code]
    for fn in candidates:
        cells = fn.__closure__ or ()
        if all(cell.cell_contents is free_values.get(n, cell.cell_contents)
               for n, cell in zip(code.co_freevars, cells)):
            return fn
    raise LookupError(f"no function found for {code.co_qualname}")


def _describe(frame):
    code = frame.f_code
    args, kwargs = _arguments(frame)
    thread = threading.current_thread().name
    if args and code.co_argcount:
        receiver = args[0]
        attr_name = _class_attribute(type(receiver), code)
        if attr_name == "__init__":
            return Recorded(code, "construct", type(receiver), None, args[1:], kwargs, thread)
        if attr_name == "__call__":
            return Recorded(code, "instance", receiver, None, args[1:], kwargs, thread)
        if attr_name is not None:
            return Recorded(code, "method", receiver, attr_name, args[1:], kwargs, thread)
    free = {n: frame.f_locals.get(n) for n in code.co_freevars}
    return Recorded(code, "function", _function_of(code, free), None, args, kwargs, thread)


def _is_own_work(code, own_codes):
    filename = code.co_filename
    return (code in own_codes or filename.startswith(_STDLIB) or filename.startswith("<frozen "))


def record(run, origins, own_codes=(), handle_class=None):
    """Run ``run()`` once; return (collaborator calls, Counter of the module's
    own standard-library calls). With ``handle_class``, its pipeline runs
    under a Python frame that installs the hook on the pipeline's own thread
    (a native thread that threading.setprofile does not reach)."""
    origins = set(origins) | {threading.Thread.run.__code__}
    if handle_class is not None:
        original = handle_class.__dict__["_run_pipeline"]

        def traced_pipeline(self):
            sys.setprofile(hook)
            try:
                return original(self)
            finally:
                sys.setprofile(None)

        origins.add(traced_pipeline.__code__)
    own_codes = set(own_codes)
    frames = []
    lock = threading.Lock()

    def hook(frame, event, arg):
        if (event == "call" and frame.f_back is not None and frame.f_back.f_code in origins
                and frame.f_code not in origins):
            with lock:
                frames.append(_describe(frame))

    threading.setprofile(hook)
    sys.setprofile(hook)
    if handle_class is not None:
        handle_class._run_pipeline = traced_pipeline
    try:
        run()
    finally:
        sys.setprofile(None)
        threading.setprofile(None)
        if handle_class is not None:
            handle_class._run_pipeline = original
    calls = [c for c in frames if not _is_own_work(c.code, own_codes)]
    own = Counter(c.label() for c in frames if _is_own_work(c.code, own_codes))
    return calls, own


def build_floor(calls):
    """A plain function making ``calls`` in order, and its source text."""
    namespace = {}
    names = {}

    def bind(value):
        key = id(value)
        if key not in names:
            names[key] = f"v{len(names)}"
            namespace[names[key]] = value
        return names[key]

    lines = ["def floor():"]
    for call in calls:
        target = bind(call.receiver)
        if call.form == "method":
            target = f"{target}.{call.name}"
        parts = [bind(a) for a in call.args]
        keyword_names = [k for k in call.kwargs if k.isidentifier()]
        parts += [f"{k}={bind(call.kwargs[k])}" for k in keyword_names]
        rest = {k: v for k, v in call.kwargs.items() if k not in keyword_names}
        if rest:
            parts.append(f"**{bind(rest)}")
        lines.append(f"    {target}({', '.join(parts)})")
    if len(lines) == 1:
        lines.append("    pass")
    source = "\n".join(lines) + "\n"
    exec(compile(source, "<floor>", "exec"), namespace)
    return namespace["floor"], source


def verify(floor, calls):
    """The floor makes exactly the recorded calls (the same code with the same
    argument objects, in the same order)."""
    replayed, _ = record(floor, {floor.__code__})
    expected = [c.key() for c in calls]
    got = [c.key() for c in replayed]
    if got != expected:
        raise AssertionError("the floor does not repeat the recorded calls: "
                             f"{[c.label() for c in replayed]} != {[c.label() for c in calls]}")
    return len(got)


def floor_on_thread(floor):
    """One floor run: a fresh threading.Thread that runs ``floor``, started and joined."""
    def run():
        thread = threading.Thread(target=floor)
        thread.start()
        thread.join()
    return run
