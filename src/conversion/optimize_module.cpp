// The walk over a network's module tree: every neuron module found below
// the root is replaced in place by its layer block; every other submodule
// is descended into.
//
// Every global and every attribute is read again at each use, so rebinding
// one of them while the walk runs takes effect at its next use. Children are
// fetched afresh each time they are needed rather than kept from an earlier
// read, exactly as often as the walk's documented read counts say.
#include "vantorix/blockwise.hpp"

#include "converted_names.hpp"

namespace vtx {

namespace {

Ref optimize_module(Frame& frame, PyObject* const* args);
Ref blockwise_network(Frame& frame, PyObject* const* args);

// `if GVT.pc.get_extra_verbose():` -- asked afresh before every message.
int is_verbose(const Frame& frame) {
    Ref gvt = lookup_global(frame, S.GVT);
    if (!gvt) return -1;
    Ref pc = getattr(gvt, S.pc);
    if (!pc) return -1;
    Ref verbose = call_method(pc, S.get_extra_verbose);
    if (!verbose) return -1;
    return truth(verbose);
}

int print_message(Handle message) {
    Ref result = call(state.print, message);
    return result ? 0 : -1;
}

// type(candidate) is VT.VTXNeuronModule
int is_neuron_module(const Frame& frame, Handle candidate) {
    Ref type = Ref::newref(reinterpret_cast<PyObject*>(Py_TYPE(candidate.get())));
    Ref vt = lookup_global(frame, S.VT);
    if (!vt) return -1;
    Ref neuron_class = getattr(vt, S.VTXNeuronModule);
    if (!neuron_class) return -1;
    return type.is(neuron_class.get());
}

// issubclass(type(candidate), nn.<class_name>)
int is_nn_subclass(const Frame& frame, Handle candidate, Handle class_name) {
    Ref nn = lookup_global(frame, S.nn);
    if (!nn) return -1;
    Ref cls = getattr(nn, class_name);
    if (!cls) return -1;
    return type_is_subclass(candidate, cls);
}

// name_so_far + "[" + str(submodule_id) + "]"
Ref item_path(Handle name_so_far, Handle submodule_id) {
    Ref path = add(name_so_far, S.lbracket);
    if (!path) return nullptr;
    Ref key = str_of(submodule_id);
    if (!key) return nullptr;
    path = add(path, key);
    if (!path) return nullptr;
    return add(path, S.rbracket);
}

// name_so_far + "." + member
Ref member_path(Handle name_so_far, Handle member) {
    Ref path = add(name_so_far, S.dot);
    if (!path) return nullptr;
    return add(path, member);
}

// converted_list += [path]
int record_descent(Ref& converted_list, Handle path) {
    Ref entry = list_of(path);
    if (!entry) return -1;
    converted_list = inplace_add(converted_list, entry);
    return converted_list ? 0 : -1;
}

// setattr(net, name, convert_to_vtx_layer_block(child)), with the function
// resolved before the child is read, as the call is written.
int convert_child(Frame& frame, Handle net, Handle name, Ref (*read_child)(Handle, Handle)) {
    Ref convert = lookup_global(frame, S.convert_to_vtx_layer_block);
    if (!convert) return -1;
    Ref child = read_child(net, name);
    if (!child) return -1;
    Ref block = call(convert, child);
    if (!block) return -1;
    return setattr(net, name, block);
}

Ref get_submodule(Handle net, Handle submodule_id) {
    return call_method(net, S.get_submodule, submodule_id);
}

// ----------------------------------------------------- container walk

Ref walk_children(Frame& frame, PyObject* net, PyObject* depth, PyObject* name_so_far,
                  Ref converted_list) {
    // for submodule_id, layer in net.named_children():
    Ref children = call_method(net, S.named_children);
    if (!children) return frame.fail();
    Ref iterator = iter(children);
    if (!iterator) return frame.fail();
    Ref item;
    int more;
    while ((more = next(iterator, item)) > 0) {
        Ref submodule_id, layer;
        if (unpack_pair(item, submodule_id, layer) < 0) return frame.fail();

        // if type(net.get_submodule(submodule_id)) is VT.VTXNeuronModule:
        Ref child = get_submodule(net, submodule_id);
        if (!child) return frame.fail();
        int is_neuron = is_neuron_module(frame, child);
        if (is_neuron < 0) return frame.fail();
        child = Ref();
        if (is_neuron) {
            int verbose = is_verbose(frame);
            if (verbose < 0) return frame.fail();
            if (verbose) {
                // print("Seq sub is VTX so optimizing: %s" % name_so_far + "[" + str(submodule_id) + "]")
                Ref message = remainder(S.msg_seq_sub_is_vtx, name_so_far);
                if (!message) return frame.fail();
                message = item_path(message, submodule_id);
                if (!message) return frame.fail();
                if (print_message(message) < 0) return frame.fail();
            }
            // setattr(net, submodule_id, convert_to_vtx_layer_block(net.get_submodule(submodule_id)))
            if (convert_child(frame, net, submodule_id, get_submodule) < 0) return frame.fail();
            continue;
        }

        // elif net != net.get_submodule(submodule_id):
        child = get_submodule(net, submodule_id);
        if (!child) return frame.fail();
        Ref differs = compare(net, child, Py_NE);
        if (!differs) return frame.fail();
        child = Ref();
        int is_other = truth(differs);
        if (is_other < 0) return frame.fail();
        if (is_other) {
            // converted_list += [name_so_far + "[" + str(submodule_id) + "]"]
            Ref path = item_path(name_so_far, submodule_id);
            if (!path) return frame.fail();
            if (record_descent(converted_list, path) < 0) return frame.fail();
            // setattr(net, submodule_id, optimize_module(net.get_submodule(submodule_id),
            //         depth + 1, name_so_far + "[" + str(submodule_id) + "]", converted_list))
            Ref optimize = lookup_global(frame, S.optimize_module);
            if (!optimize) return frame.fail();
            child = get_submodule(net, submodule_id);
            if (!child) return frame.fail();
            Ref next_depth = add(depth, S.int_1);
            if (!next_depth) return frame.fail();
            path = item_path(name_so_far, submodule_id);
            if (!path) return frame.fail();
            Ref optimized = call(optimize, child, next_depth, path, converted_list);
            if (!optimized) return frame.fail();
            if (setattr(net, submodule_id, optimized) < 0) return frame.fail();
            continue;
        }

        // else: the child is net itself
        int verbose = is_verbose(frame);
        if (verbose < 0) return frame.fail();
        if (verbose) {
            // print("%s is a self pointer so skipping" % (name_so_far + "[" + str(submodule_id) + "]"))
            Ref path = item_path(name_so_far, submodule_id);
            if (!path) return frame.fail();
            Ref message = remainder(S.msg_self_pointer, path);
            if (!message) return frame.fail();
            if (print_message(message) < 0) return frame.fail();
        }
    }
    if (more < 0) return frame.fail();
    return Ref::newref(net);
}

// -------------------------------------------------------- member walk

// getattr(net, member): the read without default.
Ref read_member(Handle net, Handle member) { return getattr(net, member); }

Ref walk_members(Frame& frame, PyObject* net, PyObject* depth, PyObject* name_so_far,
                 Ref converted_list, Handle all_members) {
    // for member in all_members:
    Ref iterator = iter(all_members);
    if (!iterator) return frame.fail();
    Ref member;
    int more;
    while ((more = next(iterator, member)) > 0) {
        // try: getattr(net, member, None)
        // except: continue   -- any exception of any class
        if (!getattr_or_none(net, member)) {
            PyErr_Clear();
            continue;
        }

        // sub_name = name_so_far + "." + member
        Ref sub_name = member_path(name_so_far, member);
        if (!sub_name) return frame.fail();

        // if sub_name in GVT.pc.get_module_names_to_not_save() or sub_name in converted_list:
        Ref gvt = lookup_global(frame, S.GVT);
        if (!gvt) return frame.fail();
        Ref pc = getattr(gvt, S.pc);
        if (!pc) return frame.fail();
        Ref not_to_save = call_method(pc, S.get_module_names_to_not_save);
        if (!not_to_save) return frame.fail();
        int excluded = contains(not_to_save, sub_name);
        if (excluded < 0) return frame.fail();
        not_to_save = Ref();
        if (!excluded) {
            excluded = converted_list_contains(converted_list, sub_name);
            if (excluded < 0) return frame.fail();
        }
        if (excluded) {
            int verbose = is_verbose(frame);
            if (verbose < 0) return frame.fail();
            if (verbose) {
                // print("Skipping %s during save" % sub_name)
                Ref message = remainder(S.msg_skipping_during_save, sub_name);
                if (!message) return frame.fail();
                if (print_message(message) < 0) return frame.fail();
            }
            continue;
        }

        // if type(getattr(net, member, None)) is VT.VTXNeuronModule:
        Ref value = getattr_or_none(net, member);
        if (!value) return frame.fail();
        int is_neuron = is_neuron_module(frame, value);
        if (is_neuron < 0) return frame.fail();
        value = Ref();
        if (is_neuron) {
            int verbose = is_verbose(frame);
            if (verbose < 0) return frame.fail();
            if (verbose) {
                // print("Sub is in conversion list so initiating optimization for: %s" % name_so_far + "." + member)
                Ref message = remainder(S.msg_sub_in_conversion_list, name_so_far);
                if (!message) return frame.fail();
                message = member_path(message, member);
                if (!message) return frame.fail();
                if (print_message(message) < 0) return frame.fail();
            }
            // setattr(net, member, convert_to_vtx_layer_block(getattr(net, member)))
            if (convert_child(frame, net, member, read_member) < 0) return frame.fail();
            continue;
        }

        // elif issubclass(type(getattr(net, member, None)), nn.Module):
        value = getattr_or_none(net, member);
        if (!value) return frame.fail();
        int is_module = is_nn_subclass(frame, value, S.Module);
        if (is_module < 0) return frame.fail();
        value = Ref();
        if (!is_module) continue;

        // if net != getattr(net, member):
        value = read_member(net, member);
        if (!value) return frame.fail();
        Ref differs = compare(net, value, Py_NE);
        if (!differs) return frame.fail();
        value = Ref();
        int is_other = truth(differs);
        if (is_other < 0) return frame.fail();
        if (is_other) {
            // converted_list += [sub_name]
            if (record_descent(converted_list, sub_name) < 0) return frame.fail();
            // setattr(net, member, optimize_module(getattr(net, member), depth + 1, sub_name, converted_list))
            Ref optimize = lookup_global(frame, S.optimize_module);
            if (!optimize) return frame.fail();
            value = read_member(net, member);
            if (!value) return frame.fail();
            Ref next_depth = add(depth, S.int_1);
            if (!next_depth) return frame.fail();
            Ref optimized = call(optimize, value, next_depth, sub_name, converted_list);
            if (!optimized) return frame.fail();
            if (setattr(net, member, optimized) < 0) return frame.fail();
            continue;
        }

        // else: print("%s is a self pointer so skipping" % sub_name)
        int verbose = is_verbose(frame);
        if (verbose < 0) return frame.fail();
        if (verbose) {
            Ref message = remainder(S.msg_self_pointer, sub_name);
            if (!message) return frame.fail();
            if (print_message(message) < 0) return frame.fail();
        }
    }
    if (more < 0) return frame.fail();
    return Ref::newref(net);
}

}  // namespace

const FunctionDef optimize_module_def = {
    Fn::optimize_module, "optimize_module", &Constants::optimize_module,
    &Constants::optimize_module, "vantorix.blockwise_vantorix.optimize_module", 4,
    {&Constants::net, &Constants::depth, &Constants::name_so_far, &Constants::converted_list,
     &Constants::all_members, &Constants::submodule_id, &Constants::layer, &Constants::member,
     &Constants::sub_name, nullptr},
    optimize_module, __LINE__};

namespace {

Ref optimize_module(Frame& frame, PyObject* const* args) {
    WalkScope walk;
    PyObject* net = args[0];
    PyObject* depth = args[1];
    PyObject* name_so_far = args[2];
    // `converted_list += [...]` rebinds the local, so it is held as our own.
    Ref converted_list = Ref::newref(args[3]);

    // all_members = net.__dir__()
    Ref all_members = call_method(net, S.dunder_dir);
    if (!all_members) return frame.fail();

    // if issubclass(type(net), nn.Sequential) or issubclass(type(net), nn.ModuleList):
    int is_container = is_nn_subclass(frame, net, S.Sequential);
    if (is_container < 0) return frame.fail();
    if (!is_container) {
        is_container = is_nn_subclass(frame, net, S.ModuleList);
        if (is_container < 0) return frame.fail();
    }
    if (is_container)
        return walk_children(frame, net, depth, name_so_far, std::move(converted_list));
    return walk_members(frame, net, depth, name_so_far, std::move(converted_list), all_members);
}

}  // namespace

const FunctionDef blockwise_network_def = {
    Fn::blockwise_network, "blockwise_network", &Constants::blockwise_network,
    &Constants::blockwise_network, "vantorix.blockwise_vantorix.blockwise_network", 1,
    {&Constants::net, nullptr},
    blockwise_network, __LINE__};

namespace {

Ref blockwise_network(Frame& frame, PyObject* const* args) {
    PyObject* net = args[0];
    // return optimize_module(net, 0, "", [])
    Ref optimize = lookup_global(frame, S.optimize_module);
    if (!optimize) return frame.fail();
    Ref converted_list = new_list();
    if (!converted_list) return frame.fail();
    Ref result = call(optimize, net, S.int_0, S.empty, converted_list);
    if (!result) return frame.fail();
    return result;
}

}  // namespace

}  // namespace vtx
