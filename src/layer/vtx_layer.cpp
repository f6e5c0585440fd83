// The class VTXLayer: a torch.nn.Module that takes the place of one
// converted neuron module. It defines its constructor and nothing else.
#include "vantorix/blockwise.hpp"

namespace vtx {

namespace {

// ------------------------------------------------------ class statement

// Replaces each base that is not a class but has __mro_entries__ by the
// items that method returns. Hands back `bases` itself when nothing changed.
Ref resolve_bases(Handle bases) {
    PyObject* given = bases.get();
    Ref resolved = Ref::steal(PyList_New(0));
    if (!resolved) return nullptr;
    bool changed = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(given); ++i) {
        Ref base = Ref::newref(PyTuple_GET_ITEM(given, i));
        if (!PyType_Check(base.get())) {
            Ref mro_entries = getattr(base, S.dunder_mro_entries);
            if (!mro_entries && !PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            if (mro_entries) {
                Ref entries = call(mro_entries, bases);
                if (!entries) return nullptr;
                if (!PyTuple_Check(entries.get())) {
                    PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
                    return nullptr;
                }
                for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(entries.get()); ++k) {
                    if (list_append(resolved, PyTuple_GET_ITEM(entries.get(), k)) < 0)
                        return nullptr;
                }
                changed = true;
                continue;
            }
        }
        if (list_append(resolved, base) < 0) return nullptr;
    }
    if (!changed) return Ref::newref(given);
    return tuple_of(resolved);
}

// The most derived metaclass of the bases, or `type` for no bases.
Ref calculate_metaclass(Handle bases) {
    PyObject* tuple = bases.get();
    PyTypeObject* winner = PyTuple_GET_SIZE(tuple) > 0 ? Py_TYPE(PyTuple_GET_ITEM(tuple, 0))
                                                       : &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(tuple, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return Ref::newref(reinterpret_cast<PyObject*>(winner));
}

// metaclass.__prepare__(name, bases), or a new dict without one.
Ref prepare_namespace(Handle metaclass, Handle name, Handle bases) {
    Ref prepare = getattr(metaclass, S.dunder_prepare);
    if (!prepare) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        return Ref::steal(PyDict_New());
    }
    return call(prepare, name, bases);
}

int setitem(Handle mapping, Handle key, Handle value) {
    return PyObject_SetItem(mapping.get(), key.get(), value.get());
}

}  // namespace

int create_vtx_layer_class(Frame& frame) {
    // bases = (nn.Module,)
    Ref module_class = global_attr(frame, S.nn, S.Module);
    if (!module_class) return frame.fail();
    Ref bases = Ref::steal(PyTuple_Pack(1, module_class.get()));
    if (!bases) return frame.fail();
    Ref resolved = resolve_bases(bases);
    if (!resolved) return frame.fail();
    Ref metaclass = calculate_metaclass(resolved);
    if (!metaclass) return frame.fail();

    Ref ns = prepare_namespace(metaclass, S.VTXLayer, resolved);
    if (!ns) return frame.fail();
    if (setitem(ns, S.dunder_module, S.module_name) < 0) return frame.fail();
    if (setitem(ns, S.dunder_qualname, S.class_qualname) < 0) return frame.fail();
    if (!resolved.is(bases.get()) && setitem(ns, S.dunder_orig_bases, bases) < 0)
        return frame.fail();

    // def __init__(self, layer_array, ...): see below
    Ref init = new_function(vtx_layer_init_def, frame.globals,
                            state.codes[static_cast<int>(Fn::init)].get());
    if (!init) return frame.fail();
    if (setitem(ns, S.dunder_init, init) < 0) return frame.fail();

    Ref cls = call(metaclass, {S.VTXLayer, resolved, ns});
    if (!cls) return frame.fail();
    if (PyDict_SetItem(frame.globals, S.VTXLayer.get(), cls.get()) < 0) return frame.fail();
    return 0;
}

// ------------------------------------------------------------ __init__

namespace {

// <target>.append(item): a plain list takes it directly, anything else
// through its own append method. The call drops the method, the target and
// the item in that order, then its result is dropped.
int append_to(Ref target, Ref item) {
    if (PyList_CheckExact(target.get())) {
        int appended = list_append(target, item);
        target = Ref();
        item = Ref();
        return appended;
    }
    Ref append = getattr(target, S.append);
    if (!append) return -1;
    Ref result = call(append, item);
    append = Ref();
    target = Ref();
    item = Ref();
    return result ? 0 : -1;
}

Ref vtx_layer_init(Frame& frame, PyObject* const* args);

}  // namespace

const FunctionDef vtx_layer_init_def = {
    Fn::init, "__init__", &Constants::dunder_init, &Constants::init_qualname,
    "vantorix.blockwise_vantorix.VTXLayer.__init__", 8,
    {&Constants::self, &Constants::layer_array, &Constants::processor_array,
     &Constants::dendrites_to_top, &Constants::dendrites_to_dendrites, &Constants::node_index,
     &Constants::num_cycles, &Constants::view_tuple, nullptr},
    vtx_layer_init, __LINE__};

namespace {

Ref vtx_layer_init(Frame& frame, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* layer_array = args[1];
    PyObject* processor_array = args[2];
    PyObject* dendrites_to_top = args[3];
    PyObject* dendrites_to_dendrites = args[4];
    PyObject* node_index = args[5];
    PyObject* num_cycles = args[6];
    PyObject* view_tuple = args[7];

    // super(VTXLayer, self).__init__(): the class is dropped once super()
    // returns, the super object once __init__ is read from it.
    {
        Ref cls = lookup_global(frame, S.VTXLayer);
        if (!cls) return frame.fail();
        Ref parent = call(state.super_, cls, self);
        cls = Ref();
        if (!parent) return frame.fail();
        Ref parent_init = getattr(parent, S.dunder_init);
        parent = Ref();
        if (!parent_init) return frame.fail();
        if (!call(parent_init)) return frame.fail();
    }

    // self.layer_array = layer_array
    if (setattr(self, S.layer_array, layer_array) < 0) return frame.fail();

    // self.register_buffer("num_cycles", num_cycles)
    {
        Ref register_buffer = getattr(self, S.register_buffer);
        if (!register_buffer) return frame.fail();
        if (!call(register_buffer, S.num_cycles, num_cycles)) return frame.fail();
    }

    // self.register_buffer("view_tuple", torch.tensor(view_tuple))
    {
        Ref register_buffer = getattr(self, S.register_buffer);
        if (!register_buffer) return frame.fail();
        Ref tensor_function = global_attr(frame, S.torch, S.tensor);
        if (!tensor_function) return frame.fail();
        Ref tensor = call(tensor_function, view_tuple);
        tensor_function = Ref();
        if (!tensor) return frame.fail();
        Ref registered = call(register_buffer, S.view_tuple, tensor);
        register_buffer = Ref();
        tensor = Ref();
        if (!registered) return frame.fail();
    }

    // self.processor_array = processor_array
    if (setattr(self, S.processor_array, processor_array) < 0) return frame.fail();

    // if dendrites_to_dendrites: self.skip_weights = dendrites_to_dendrites
    // else: self.skip_weights = nn.ParameterList([torch.zeros(1, 1, 1)])
    int has_dendrite_weights = truth(dendrites_to_dendrites);
    if (has_dendrite_weights < 0) return frame.fail();
    if (has_dendrite_weights) {
        if (setattr(self, S.skip_weights, dendrites_to_dendrites) < 0) return frame.fail();
    } else {
        Ref parameter_list = global_attr(frame, S.nn, S.ParameterList);
        if (!parameter_list) return frame.fail();
        Ref zeros = global_attr(frame, S.torch, S.zeros);
        if (!zeros) return frame.fail();
        Ref zero = call_args(zeros, S.shape_1_1_1);
        zeros = Ref();
        if (!zero) return frame.fail();
        Ref entries = list_of(zero);
        zero = Ref();  // the new list holds it alone
        if (!entries) return frame.fail();
        Ref weights = call(parameter_list, entries);
        parameter_list = Ref();
        entries = Ref();
        if (!weights) return frame.fail();
        if (setattr(self, S.skip_weights, weights) < 0) return frame.fail();
    }

    // if dendrites_to_top:
    //     self.skip_weights.append(dendrites_to_top[len(dendrites_to_top) - 1])
    // else: self.skip_weights = nn.ParameterList()
    int has_top_weights = truth(dendrites_to_top);
    if (has_top_weights < 0) return frame.fail();
    if (has_top_weights) {
        Ref weights = getattr(self, S.skip_weights);
        if (!weights) return frame.fail();
        Py_ssize_t count = length(dendrites_to_top);
        if (count < 0) return frame.fail();
        Ref last = getitem_index(dendrites_to_top, count - 1);
        if (!last) return frame.fail();
        if (append_to(std::move(weights), std::move(last)) < 0) return frame.fail();
    } else {
        Ref parameter_list = global_attr(frame, S.nn, S.ParameterList);
        if (!parameter_list) return frame.fail();
        Ref weights = call(parameter_list);
        parameter_list = Ref();
        if (!weights) return frame.fail();
        if (setattr(self, S.skip_weights, weights) < 0) return frame.fail();
    }

    // if len(self.skip_weights) == 0: del self.skip_weights
    // -- len() drops what it measured before the deletion.
    Py_ssize_t count;
    {
        Ref weights = getattr(self, S.skip_weights);
        if (!weights) return frame.fail();
        count = length(weights);
    }
    if (count < 0) return frame.fail();
    if (count == 0 && delattr(self, S.skip_weights) < 0) return frame.fail();

    // self.node_index = node_index
    if (setattr(self, S.node_index, node_index) < 0) return frame.fail();

    // self.internal_nonlinearity = GVT.pc.get_vtx_forward_function()
    {
        Ref pc = global_attr(frame, S.GVT, S.pc);
        if (!pc) return frame.fail();
        Ref nonlinearity = call_method(pc, S.get_vtx_forward_function);
        pc = Ref();  // dropped as soon as the call returns
        if (!nonlinearity) return frame.fail();
        if (setattr(self, S.internal_nonlinearity, nonlinearity) < 0) return frame.fail();
    }

    return Ref::newref(Py_None);
}

}  // namespace

}  // namespace vtx
