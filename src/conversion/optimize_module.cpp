// The walk over a network's module tree: every neuron module found below
// the root is replaced in place by its layer block; every other submodule
// is descended into.
//
// Every global and every attribute is read again at each use, so rebinding
// one of them while the walk runs takes effect at its next use. Children are
// fetched afresh each time they are needed rather than kept from an earlier
// read, exactly as often as the walk's documented read counts say.
//
// Each level of the descent keeps three frames on the C stack: this
// module's optimize_module, visit_member or visit_child, and the native call.
// What a level needs only before or after it descends (tests, messages,
// conversions) runs in helpers of its own that are kept out of line
// (noinline), so that those frames hold little more than the references the
// descent itself needs: 416 bytes a level on x86-64, where a plain-Python
// walk takes none from 3.11 on.
#include "vantorix/blockwise.hpp"

#include "walk_scope.hpp"

#include <utility>

namespace vtx {

namespace {

Ref optimize_module(Frame& frame, PyObject* const* args);
Ref blockwise_network(Frame& frame, PyObject* const* args);

// `if GVT.pc.get_extra_verbose():` -- asked afresh before every message.
int is_verbose(const Frame& frame) {
    Ref pc = global_attr(frame, S.GVT, S.pc);
    if (!pc) return -1;
    Ref verbose = call_method(pc, S.get_extra_verbose);
    if (!verbose) return -1;
    return truth(verbose);
}

// if verbose: print(<message>) -- the message is built only when printed.
template <class Build>
[[gnu::noinline]] int print_if_verbose(const Frame& frame, Build build_message) {
    int verbose = is_verbose(frame);
    if (verbose <= 0) return verbose;
    Ref message = build_message();
    if (!message) return -1;
    return call(state.print, message) ? 0 : -1;
}

// type(candidate) is VT.VTXNeuronModule
[[gnu::noinline]] int is_neuron_module(const Frame& frame, Handle candidate) {
    Ref type = Ref::newref(reinterpret_cast<PyObject*>(Py_TYPE(candidate.get())));
    Ref neuron_class = global_attr(frame, S.VT, S.VTXNeuronModule);
    if (!neuron_class) return -1;
    return type.is(neuron_class.get());
}

// issubclass(type(candidate), nn.<class_name>)
[[gnu::noinline]] int is_nn_subclass(const Frame& frame, Handle candidate, Handle class_name) {
    Ref cls = global_attr(frame, S.nn, class_name);
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
    return add(name_so_far, S.dot, member);
}

// "<format>" % name_so_far + "[" + str(submodule_id) + "]": the formatting
// applies to name_so_far alone, the rest is appended.
Ref format_item_path(Handle format, Handle name_so_far, Handle submodule_id) {
    Ref head = remainder(format, name_so_far);
    if (!head) return nullptr;
    return item_path(head, submodule_id);
}

// "<format>" % name_so_far + "." + member, likewise.
Ref format_member_path(Handle format, Handle name_so_far, Handle member) {
    Ref head = remainder(format, name_so_far);
    if (!head) return nullptr;
    return member_path(head, member);
}

// converted_list += [<path>]
template <class Path>
[[gnu::noinline]] int record_descent(WalkScope& walk, Ref& converted_list, Path path_of) {
    Ref path = path_of();
    if (!path) return -1;
    Ref entry = list_of(path);
    if (!entry) return -1;
    // The collector must see the list before anything but an exact str enters it.
    if (!PyUnicode_CheckExact(path.get())) walk.expose();
    Ref extended = inplace_add(converted_list, entry);
    if (!extended) return -1;
    // Another object handed back is no longer the list the walk began with.
    if (!extended.is(converted_list.get())) walk.expose();
    converted_list = std::move(extended);
    return 0;
}

// optimize_module(net, depth, name_so_far, converted_list): this module's own
// function runs within the walk; anything else is called through Python, and
// the list it is handed is no longer the walk's alone.
[[gnu::always_inline]] inline Ref call_optimize(WalkScope& walk, Handle optimize, Handle net,
                                                Handle depth, Handle name_so_far,
                                                Handle converted_list) {
    if (is_native_function(optimize, optimize_module_def)) {
        PyObject* args[] = {net.get(), depth.get(), name_so_far.get(), converted_list.get()};
        return call_native(optimize, args, &walk);
    }
    walk.expose();
    return call(optimize, net, depth, name_so_far, converted_list);
}

using ReadChild = Ref (*)(Handle net, Handle name);

Ref get_submodule(Handle net, Handle submodule_id) {
    return call_method(net, S.get_submodule, submodule_id);
}

// getattr(net, member): the read without default.
Ref read_member(Handle net, Handle member) { return getattr(net, member); }

// setattr(net, name, convert_to_vtx_layer_block(<child>)), the function
// resolved before the child is read, as the call is written.
[[gnu::noinline]] int convert_child(const Frame& frame, Handle net, Handle name,
                                    ReadChild read_child) {
    Ref convert = lookup_global(frame, S.convert_to_vtx_layer_block);
    if (!convert) return -1;
    Ref child = read_child(net, name);
    if (!child) return -1;
    Ref block = call(convert, child);
    if (!block) return -1;
    return setattr(net, name, block);
}

// setattr(net, name, optimize_module(<child>, depth + 1, <path>, converted_list)),
// each argument evaluated in its order. Part of the visit's own frame, which
// the descent keeps on the stack anyway: left to itself, clang's -Os may
// give it one more frame a level.
template <class Path>
[[gnu::always_inline]] inline int descend_into(const Frame& frame, Handle net, Handle name,
                                               ReadChild read_child, Handle depth, Path path_of,
                                               Handle converted_list) {
    Ref optimize = lookup_global(frame, S.optimize_module);
    if (!optimize) return -1;
    Ref child = read_child(net, name);
    if (!child) return -1;
    Ref next_depth = add(depth, S.int_1);
    if (!next_depth) return -1;
    Ref path = path_of();
    if (!path) return -1;
    Ref optimized = call_optimize(*frame.walk, optimize, child, next_depth, path, converted_list);
    if (!optimized) return -1;
    return setattr(net, name, optimized);
}

// ------------------------------------------------------ the tests
//
// Each test reads the child afresh and releases it before the walk goes on,
// so that what it holds is off the stack while the walk descends.

// type(read_child(net, name)) is VT.VTXNeuronModule
[[gnu::noinline]] int child_is_neuron(const Frame& frame, Handle net, Handle name,
                                      ReadChild read_child) {
    Ref child = read_child(net, name);
    if (!child) return -1;
    return is_neuron_module(frame, child);
}

// issubclass(type(read_child(net, name)), nn.Module)
[[gnu::noinline]] int child_is_module(const Frame& frame, Handle net, Handle name,
                                      ReadChild read_child) {
    Ref child = read_child(net, name);
    if (!child) return -1;
    return is_nn_subclass(frame, child, S.Module);
}

// net != read_child(net, name)
[[gnu::noinline]] int differs_from_child(Handle net, Handle name, ReadChild read_child) {
    Ref child = read_child(net, name);
    if (!child) return -1;
    Ref differs = compare(net, child, Py_NE);
    if (!differs) return -1;
    child = Ref();
    return truth(differs);
}

// sub_name in GVT.pc.get_module_names_to_not_save() or sub_name in converted_list
[[gnu::noinline]] int is_excluded(const Frame& frame, Handle sub_name, Handle converted_list) {
    Ref pc = global_attr(frame, S.GVT, S.pc);
    if (!pc) return -1;
    Ref not_to_save = call_method(pc, S.get_module_names_to_not_save);
    if (!not_to_save) return -1;
    int excluded = contains(not_to_save, sub_name);
    if (excluded != 0) return excluded;
    not_to_save = Ref();
    return frame.walk->contains(converted_list, sub_name);
}

// ----------------------------------------------------- container walk

// One child of a sequential container or module list.
[[gnu::noinline]] int visit_child(Frame& frame, Handle net, Handle depth, Handle name_so_far,
                                  Ref& converted_list, Handle item) {
    Ref submodule_id, layer;
    if (unpack_pair(item, submodule_id, layer) < 0) return frame.fail();
    auto child_path = [&] { return item_path(name_so_far, submodule_id); };

    // if type(net.get_submodule(submodule_id)) is VT.VTXNeuronModule:
    int is_neuron = child_is_neuron(frame, net, submodule_id, get_submodule);
    if (is_neuron < 0) return frame.fail();
    if (is_neuron) {
        // if verbose: print("Seq sub is VTX so optimizing: %s" % name_so_far + "[" + str(submodule_id) + "]")
        if (print_if_verbose(frame, [&] {
                return format_item_path(S.msg_seq_sub_is_vtx, name_so_far, submodule_id);
            }) < 0)
            return frame.fail();
        // setattr(net, submodule_id, convert_to_vtx_layer_block(net.get_submodule(submodule_id)))
        if (convert_child(frame, net, submodule_id, get_submodule) < 0) return frame.fail();
        return 0;
    }

    // elif net != net.get_submodule(submodule_id):
    int is_other = differs_from_child(net, submodule_id, get_submodule);
    if (is_other < 0) return frame.fail();
    if (is_other) {
        // converted_list += [name_so_far + "[" + str(submodule_id) + "]"]
        if (record_descent(*frame.walk, converted_list, child_path) < 0)
            return frame.fail();
        // setattr(net, submodule_id, optimize_module(net.get_submodule(submodule_id),
        //         depth + 1, name_so_far + "[" + str(submodule_id) + "]", converted_list))
        if (descend_into(frame, net, submodule_id, get_submodule, depth, child_path,
                         converted_list) < 0)
            return frame.fail();
        return 0;
    }

    // else: the child is net itself
    // if verbose: print("%s is a self pointer so skipping" % (name_so_far + "[" + str(submodule_id) + "]"))
    if (print_if_verbose(frame, [&]() -> Ref {
            Ref path = child_path();
            if (!path) return nullptr;
            return remainder(S.msg_self_pointer, path);
        }) < 0)
        return frame.fail();
    return 0;
}

// ------------------------------------------------------- member walk

// One attribute of any other module.
[[gnu::noinline]] int visit_member(Frame& frame, Handle net, Handle depth, Handle name_so_far,
                                   Ref& converted_list, Handle member) {
    // try: getattr(net, member, None)
    // except: continue   -- any exception of any class
    if (!getattr_or_none(net, member)) {
        PyErr_Clear();
        return 0;
    }

    // sub_name = name_so_far + "." + member
    Ref sub_name = member_path(name_so_far, member);
    if (!sub_name) return frame.fail();

    // if sub_name in GVT.pc.get_module_names_to_not_save() or sub_name in converted_list:
    int excluded = is_excluded(frame, sub_name, converted_list);
    if (excluded < 0) return frame.fail();
    if (excluded) {
        // if verbose: print("Skipping %s during save" % sub_name)
        if (print_if_verbose(frame, [&] { return remainder(S.msg_skipping_during_save, sub_name); }) < 0)
            return frame.fail();
        return 0;
    }

    // if type(getattr(net, member, None)) is VT.VTXNeuronModule:
    int is_neuron = child_is_neuron(frame, net, member, getattr_or_none);
    if (is_neuron < 0) return frame.fail();
    if (is_neuron) {
        // if verbose: print("Sub is in conversion list so initiating optimization for: %s" % name_so_far + "." + member)
        if (print_if_verbose(frame, [&] {
                return format_member_path(S.msg_sub_in_conversion_list, name_so_far, member);
            }) < 0)
            return frame.fail();
        // setattr(net, member, convert_to_vtx_layer_block(getattr(net, member)))
        if (convert_child(frame, net, member, read_member) < 0) return frame.fail();
        return 0;
    }

    // elif issubclass(type(getattr(net, member, None)), nn.Module):
    int is_module = child_is_module(frame, net, member, getattr_or_none);
    if (is_module < 0) return frame.fail();
    if (!is_module) return 0;

    // if net != getattr(net, member):
    int is_other = differs_from_child(net, member, read_member);
    if (is_other < 0) return frame.fail();
    auto path = [&] { return Ref::newref(sub_name.get()); };
    if (is_other) {
        // converted_list += [sub_name]
        if (record_descent(*frame.walk, converted_list, path) < 0)
            return frame.fail();
        // setattr(net, member, optimize_module(getattr(net, member), depth + 1, sub_name, converted_list))
        if (descend_into(frame, net, member, read_member, depth, path, converted_list) < 0)
            return frame.fail();
        return 0;
    }

    // else: if verbose: print("%s is a self pointer so skipping" % sub_name)
    if (print_if_verbose(frame, [&] { return remainder(S.msg_self_pointer, sub_name); }) < 0)
        return frame.fail();
    return 0;
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

// Runs the call's body within a walk of its own over its list, kept out of
// the frames that every level of the descent puts on the stack.
[[gnu::noinline]] Ref in_own_walk(Frame& frame, PyObject* const* args, Body body) {
    WalkScope walk(args[3], WalkScope::Reach::shared);
    frame.walk = &walk;
    return body(frame, args);
}

Ref optimize_module(Frame& frame, PyObject* const* args) {
    // Called from Python, this call begins a walk of its own over its list.
    if (!frame.walk) return in_own_walk(frame, args, optimize_module);
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
    if (is_container) {
        // for submodule_id, layer in net.named_children(): ...
        Ref children = call_method(net, S.named_children);
        if (!children) return frame.fail();
        if (for_each(frame, children, [&](Handle item) {
                return visit_child(frame, net, depth, name_so_far, converted_list, item);
            }) < 0)
            return frame.propagate();
    } else {
        // for member in all_members: ...
        if (for_each(frame, all_members, [&](Handle member) {
                return visit_member(frame, net, depth, name_so_far, converted_list, member);
            }) < 0)
            return frame.propagate();
    }
    return Ref::newref(net);
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
    // Handed to this module's own walk alone, the new list stays out of sight.
    WalkScope walk(converted_list, is_native_function(optimize, optimize_module_def)
                                       ? WalkScope::Reach::walk_only
                                       : WalkScope::Reach::shared);
    Ref result = call_optimize(walk, optimize, net, S.int_0, S.empty, converted_list);
    if (!result) return frame.fail();
    return result;
}

}  // namespace

}  // namespace vtx
