// Graph boundary: where expression graphs enter the module. Graphs come as
// typed nodes of the simulator engine's FunctionGraphNode or as plain data
// (nested dicts and lists); these functions convert, refuse and inspect them.
#include "graph/graph.hpp"
#include "frame/frame.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"

#include <vector>

namespace simsig {

namespace {

// The simulator-engine modules that may carry the typed graph classes, in
// the order they are asked.
const char *const kShapeProviders[] = {
    "tallowmere.simulator_engine.batch_orchestrator",
    "tallowmere.simulator_engine.graph_validator",
    "tallowmere.simulator_engine.expression_evaluator",
};

// FunctionGraphNode (the first of _import_typed_shapes()'s pair), read
// through the namespace so a replaced helper is the one asked.
ref typed_graph_class() {
    ref shapes = call_helper<import_typed_shapes>();
    if (PyTuple_CheckExact(shapes.ptr()) && PyTuple_Size(shapes.ptr()) == 2)
        return nb::borrow(PyTuple_GetItem(shapes.ptr(), 0));
    return unpack(shapes, 2)[0];  // any other pair, or the error unpacking it raises
}

// The provider's graph classes come from the module that defines its
// FunctionGraphNode; a provider that is not loaded yet is left alone.
ref typed_shapes_from_provider(nb::handle loaded, const char *provider_name) {
    ref shapes_provider = method_get(loaded, name(provider_name));
    // getattr(None, ..., None) is None: no attribute error to raise and clear.
    if (shapes_provider.is_none())
        return ref();
    ref graph_cls = attr_or_none(shapes_provider, "FunctionGraphNode");
    ref graph_module_name = attr_or_none(graph_cls, "__module__");
    if (!nb::bool_(graph_module_name))
        return ref();
    ref graph_module;
    ref failure = catch_exception(
        [&] { graph_module = importlib_import_module(global(G::importlib), graph_module_name); },
        PyExc_ImportError);
    if (failure)
        return ref();
    return nb::make_tuple(attr(graph_module, "FunctionGraphNode"),
                          attr(graph_module, "StageData"));
}

} // namespace

ref import_typed_shapes() {
    ref loaded = attr(global(G::sys), "modules");
    for (const char *provider_name : kShapeProviders)
        if (ref shapes = typed_shapes_from_provider(loaded, provider_name))
            return shapes;
    ref shapes;
    catch_exception(
        [&] {
            std::vector<ref> classes = from_import("tallowmere.functions._typed_shapes",
                                                   {"FunctionGraphNode", "StageData"});
            shapes = nb::make_tuple(classes[0], classes[1]);
        },
        PyExc_ImportError);
    if (shapes)
        return shapes;
    raise_from_none(PyExc_RuntimeError,
                    "Typed graph runtime is required for direct simulation evaluation");
}

ref typed_runtime_graph(nb::handle graph) {
    ref graph_cls = typed_graph_class();
    ref typed_graph = is_instance(graph, graph_cls) ? ref(nb::borrow(graph))
                                                    : attr(graph_cls, "from_raw")(graph);
    call_helper<reject_public_aggregation_graph>(typed_graph);
    return typed_graph;
}

// An explicit stack, so graph depth is bounded by memory, not the C stack.
// Plain dict nodes carry their type as a key, not an attribute, and pass.
ref reject_public_aggregation_graph(nb::handle graph) {
    std::vector<ref> stack{ref(nb::borrow(graph))};
    while (!stack.empty()) {
        // A cyclic graph never empties the stack; stay interruptible.
        if (PyErr_CheckSignals())
            throw nb::python_error();
        ref node = std::move(stack.back());
        stack.pop_back();
        if (attr_or_none(node, "type").equal(name("aggregation")))
            raise(PyExc_ValueError, "graph node type 'aggregation' is not allowed");
        ref children = attr_or_none(node, "children");
        if (!nb::bool_(children))
            continue;
        std::vector<ref> in_order;
        for (nb::handle child : children)
            in_order.emplace_back(nb::borrow(child));
        for (ref &child : in_order)
            stack.push_back(std::move(child));
    }
    return nb::none();
}

ref require_typed_runtime_graph(nb::handle graph) {
    if (is_instance(graph, typed_graph_class())) {
        call_helper<reject_public_aggregation_graph>(graph);
        return nb::borrow(graph);
    }
    ref type_name = attr(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(graph.ptr()))),
                         "__name__");
    raise(PyExc_TypeError,
          format("graph must be FunctionGraphNode at the simulation runtime boundary; got %S",
                 type_name.ptr()));
}

namespace {

// One level of the filtration walk, `graph_cls` probed at its top. A child is
// asked through the namespace, unless both the walk and the probe are still
// the module's own: then the child's level would probe again for the same
// answer (a probe reads only which modules are loaded), so it reuses this one.
ref has_filtration_below(nb::handle graph, nb::handle graph_cls) {
    return recursing(" while looking for a filtration node", [&]() -> nb::object {
        if (!is_instance(graph, graph_cls))
            return call_function(global(G::has_filtration_node), graph);
        if (attr(graph, "type").equal(name("filtration")))
            return nb::bool_(true);
        bool found = false;
        ref children = attr(graph, "children");
        bool reuse =
            helper_is_own<has_filtration_runtime_graph>() && helper_is_own<import_typed_shapes>();
        for (nb::handle child : children) {
            ref below = reuse ? has_filtration_below(child, graph_cls)
                              : call_helper<has_filtration_runtime_graph>(child);
            if (nb::bool_(below)) {
                found = true;
                break;
            }
        }
        return nb::bool_(found);
    });
}

} // namespace

// Typed nodes are walked here; anything else is the sibling's question.
ref has_filtration_runtime_graph(nb::handle graph) {
    return has_filtration_below(graph, typed_graph_class());
}

namespace {

// Depth-first pre-order, children in their order.
void collect_feature_names(nb::handle node, nb::list &found) {
    recursing(" while collecting feature names", [&] {
        if (PyDict_Check(node.ptr())) {
            if (method_get(node, name("type")).equal(name("feature")) &&
                PyUnicode_Check(method_get(node, name("node")).ptr())) {
                ref value = nb::steal(PyObject_GetItem(node.ptr(), name("node").ptr()));
                if (!value)
                    throw nb::python_error();
                found.append(nb::str(value));
            }
            ref children = method_get(node, name("children"));
            if (nb::bool_(children))
                for (nb::handle child : children)
                    collect_feature_names(child, found);
            return;
        }
        ref node_type = attr_or_none(node, "type");
        ref node_value = attr_or_none(node, "node");
        if (node_type.equal(name("feature")) && PyUnicode_Check(node_value.ptr()))
            found.append(node_value);
        ref children = attr_or(node, "children", nb::tuple());
        if (nb::bool_(children))
            for (nb::handle child : children)
                collect_feature_names(child, found);
    });
}

} // namespace

ref simulation_graph_feature_names(nb::handle graph) {
    nb::list found;
    collect_feature_names(graph, found);
    // tuple(dict.fromkeys(found)): first occurrences, in order.
    ref unique = nb::steal(PyDict_New());
    if (!unique)
        throw nb::python_error();
    for (nb::handle feature : found) {  // a local list: nothing below can change it
        int present = PyDict_Contains(unique.ptr(), feature.ptr());
        if (present < 0 || (!present && PyDict_SetItem(unique.ptr(), feature.ptr(), Py_None)))
            throw nb::python_error();
    }
    ref names = nb::steal(PySequence_Tuple(unique.ptr()));
    if (!names)
        throw nb::python_error();
    return names;
}

namespace {

ref plain(nb::handle value) { return call_helper<plain_tracking_graph>(value); }

// A typed node as a plain dict: type, node, children, then the optional
// properties that are set.
ref plain_node(nb::handle graph) {
    nb::dict out;
    out[name("type")] = attr(graph, "type");
    out[name("node")] = attr(graph, "node");
    ref children = attr(graph, "children");
    out[name("children")] =
        plain(nb::bool_(children) ? nb::handle(children) : nb::handle(nb::list()));
    ref config = attr_or_none(graph, "config");
    if (nb::bool_(config))
        out[name("config")] = plain(config);
    for (const char *key : {"canonical_id", "family", "value"}) {
        ref value = attr_or_none(graph, key);
        if (!value.is_none())
            out[name(key)] = plain(value);
    }
    return ref(std::move(out));
}

} // namespace

ref plain_tracking_graph(nb::handle graph) {
    return recursing(" while converting a graph to plain data", [&]() -> nb::object {
        if (PyDict_Check(graph.ptr())) {
            nb::dict out;
            for (nb::handle item : attr(graph, "items")()) {
                std::vector<ref> key_value = unpack(item, 2);
                out[key_value[0]] = plain(key_value[1]);
            }
            return out;
        }
        if (PyList_Check(graph.ptr())) {
            nb::list out;
            for (nb::handle item : graph)
                out.append(plain(item));
            return out;
        }
        if (has_attr(graph, "type") && has_attr(graph, "node") && has_attr(graph, "children"))
            return plain_node(graph);
        return nb::borrow(graph);
    });
}

void define_graph_functions() {
    remember_importlib(global(G::importlib));
    def_helper<import_typed_shapes>("_import_typed_shapes", {});
    def_helper<typed_runtime_graph>("_typed_runtime_graph", {arg("graph")});
    def_helper<reject_public_aggregation_graph>("_reject_public_aggregation_graph", {arg("graph")});
    def_helper<require_typed_runtime_graph>("_require_typed_runtime_graph", {arg("graph")});
    def_helper<has_filtration_runtime_graph>("_has_filtration_runtime_graph", {arg("graph")});
    def_helper<simulation_graph_feature_names>("_simulation_graph_feature_names", {arg("graph")});
    def_helper<plain_tracking_graph>("_plain_tracking_graph", {arg("graph")});
}

} // namespace simsig
