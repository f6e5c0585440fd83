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

// GVT.pc.<query>(): the configuration object is dropped as soon as the
// call returns, before its answer is used.
Ref ask_config(const Frame& frame, Handle query) {
    Ref pc = global_attr(frame, S.GVT, S.pc);
    if (!pc) return nullptr;
    return call_method(pc, query);
}

// `if GVT.pc.get_extra_verbose():` -- asked afresh before every message;
// the answer is dropped once its truth is taken.
int is_verbose(const Frame& frame) {
    Ref verbose = ask_config(frame, S.get_extra_verbose);
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
    Ref printed = call(state.print, message);
    message = Ref();  // the call drops its argument, then its result is dropped
    return printed ? 0 : -1;
}

// <type> is VT.VTXNeuronModule: the class is read after the type is taken,
// and `is` drops its left operand, then its right.
[[gnu::noinline]] int is_neuron_type(const Frame& frame, Ref type) {
    Ref neuron_class = global_attr(frame, S.VT, S.VTXNeuronModule);
    if (!neuron_class) return -1;
    bool same = type.is(neuron_class.get());
    type = Ref();
    neuron_class = Ref();
    return same;
}

// issubclass(<type>, nn.<class_name>): the class is read after the type is
// taken, and the call drops its arguments in their order.
[[gnu::noinline]] int is_nn_subclass(const Frame& frame, Ref type, Handle class_name) {
    Ref cls = global_attr(frame, S.nn, class_name);
    if (!cls) return -1;
    int result = is_subclass(type, cls);
    type = Ref();
    cls = Ref();
    return result;
}

// issubclass(type(net), nn.Sequential) or issubclass(type(net), nn.ModuleList)
[[gnu::noinline]] int is_container(const Frame& frame, Handle net) {
    int container = is_nn_subclass(frame, type_of(Ref::newref(net.get())), S.Sequential);
    if (container != 0) return container;
    return is_nn_subclass(frame, type_of(Ref::newref(net.get())), S.ModuleList);
}

// <head> + "[" + str(submodule_id) + "]": each addition drops its operands.
Ref item_path(Ref head, Handle submodule_id) {
    if (!head) return nullptr;
    Ref path = add(head, S.lbracket);
    head = Ref();
    if (!path) return nullptr;
    Ref key = str_of(submodule_id);
    if (!key) return nullptr;
    path = add(path, key);
    key = Ref();
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
    return item_path(remainder(format, name_so_far), submodule_id);
}

// "<format>" % name_so_far + "." + member, likewise.
Ref format_member_path(Handle format, Handle name_so_far, Handle member) {
    Ref head = remainder(format, name_so_far);
    if (!head) return nullptr;
    Ref path = add(head, S.dot);
    head = Ref();
    if (!path) return nullptr;
    return add(path, member);
}

// converted_list += [<path>]
template <class Path>
[[gnu::noinline]] int record_descent(WalkScope& walk, Ref& converted_list, Path path_of) {
    Ref path = path_of();
    if (!path) return -1;
    // The collector must see the list before anything but an exact str enters it.
    bool exact_text = PyUnicode_CheckExact(path.get());
    Ref entry = list_of(path);
    path = Ref();  // the new list holds the path alone
    if (!entry) return -1;
    if (!exact_text) walk.expose();
    Ref extended = inplace_add(converted_list, entry);
    entry = Ref();  // `+=` drops its operands before the name is rebound
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
// resolved before the child is read, as the call is written. The call drops
// the child as it returns, as a Python function's frame drops its arguments
// and then the function, so a child that setattr replaces dies inside it.
[[gnu::noinline]] int convert_child(const Frame& frame, Handle net, Handle name,
                                    ReadChild read_child) {
    Ref convert = lookup_global(frame, S.convert_to_vtx_layer_block);
    if (!convert) return -1;
    Ref child = read_child(net, name);
    if (!child) return -1;
    Ref block = call(convert, child);
    child = Ref();
    convert = Ref();
    if (!block) return -1;
    return setattr(net, name, block);
}

// setattr(net, name, optimize_module(<child>, depth + 1, <path>, converted_list)),
// each argument evaluated in its order and dropped, like the function, when
// the call returns. Part of the visit's own frame, which the descent keeps on
// the stack anyway: left to itself, clang's -Os may give it one more frame a
// level.
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
    child = Ref();
    next_depth = Ref();
    path = Ref();
    optimize = Ref();
    if (!optimized) return -1;
    return setattr(net, name, optimized);
}

// The variables of one optimize_module call beside its parameters. Each
// keeps its value until it is rebound or the call returns, and the return
// drops them in the order of the code object's varnames. They stay in the
// frame that every level of the descent keeps; a call runs one of the two
// walks, so the loop variables of both share two slots there, each pair in
// its varnames order: submodule_id and layer, or member and sub_name.
class Variables {
public:
    Ref converted_list;  // `+=` rebinds it, so the call holds its own
    Ref all_members;
    Ref& submodule_id() { return first_; }
    Ref& layer() { return second_; }
    Ref& member() { return first_; }
    Ref& sub_name() { return second_; }
    ~Variables() {
        converted_list = Ref();
        all_members = Ref();
        first_ = Ref();
        second_ = Ref();
    }

private:
    Ref first_, second_;
};

// ------------------------------------------------------ the tests
//
// Each test reads the child afresh and drops it where Python drops it, so
// that what it holds is off the stack while the walk descends.

// type(read_child(net, name)) is VT.VTXNeuronModule
[[gnu::noinline]] int child_is_neuron(const Frame& frame, Handle net, Handle name,
                                      ReadChild read_child) {
    Ref type = type_of(read_child(net, name));
    if (!type) return -1;
    return is_neuron_type(frame, std::move(type));
}

// issubclass(type(read_child(net, name)), nn.Module)
[[gnu::noinline]] int child_is_module(const Frame& frame, Handle net, Handle name,
                                      ReadChild read_child) {
    Ref type = type_of(read_child(net, name));
    if (!type) return -1;
    return is_nn_subclass(frame, std::move(type), S.Module);
}

// net != read_child(net, name): the comparison drops the child, and its
// answer is dropped once its truth is taken.
[[gnu::noinline]] int differs_from_child(Handle net, Handle name, ReadChild read_child) {
    Ref child = read_child(net, name);
    if (!child) return -1;
    Ref differs = compare(net, child, Py_NE);
    child = Ref();
    if (!differs) return -1;
    return truth(differs);
}

// sub_name in GVT.pc.get_module_names_to_not_save() or sub_name in converted_list
[[gnu::noinline]] int is_excluded(const Frame& frame, Handle sub_name, Handle converted_list) {
    Ref not_to_save = ask_config(frame, S.get_module_names_to_not_save);
    if (!not_to_save) return -1;
    int excluded = contains(not_to_save, sub_name);
    not_to_save = Ref();  // `in` drops its operands as it answers
    if (excluded != 0) return excluded;
    return frame.walk->contains(converted_list, sub_name);
}

// for submodule_id, layer in ...: the item is dropped once unpacked, then
// each variable is rebound, dropping its value of the item before.
[[gnu::noinline]] int bind_child(Ref& item, Variables& v) {
    Ref submodule_id, layer;
    int unpacked = unpack_pair(item, submodule_id, layer);
    item = Ref();
    if (unpacked < 0) return -1;
    v.submodule_id() = std::move(submodule_id);
    v.layer() = std::move(layer);
    return 0;
}

// ----------------------------------------------------- container walk

// One child of a sequential container or module list.
[[gnu::noinline]] int visit_child(Frame& frame, Handle net, Handle depth, Handle name_so_far,
                                  Variables& v, Ref& item) {
    if (bind_child(item, v) < 0) return frame.fail();
    // Rebound only by the loop, so a borrowed view is safe here.
    Handle submodule_id = v.submodule_id();
    auto child_path = [&] { return item_path(Ref::newref(name_so_far.get()), submodule_id); };

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
        if (record_descent(*frame.walk, v.converted_list, child_path) < 0)
            return frame.fail();
        // setattr(net, submodule_id, optimize_module(net.get_submodule(submodule_id),
        //         depth + 1, name_so_far + "[" + str(submodule_id) + "]", converted_list))
        if (descend_into(frame, net, submodule_id, get_submodule, depth, child_path,
                         v.converted_list) < 0)
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

// One attribute of any other module; v.member() is bound to it.
[[gnu::noinline]] int visit_member(Frame& frame, Handle net, Handle depth, Handle name_so_far,
                                   Variables& v) {
    // Rebound only by the loop, so borrowed views are safe here.
    Handle member = v.member();
    // try: getattr(net, member, None)
    // except: continue   -- any exception of any class
    if (!getattr_or_none(net, member)) {
        PyErr_Clear();
        return 0;
    }

    // sub_name = name_so_far + "." + member
    v.sub_name() = member_path(name_so_far, member);
    if (!v.sub_name()) return frame.fail();
    Handle sub_name = v.sub_name();

    // if sub_name in GVT.pc.get_module_names_to_not_save() or sub_name in converted_list:
    int excluded = is_excluded(frame, sub_name, v.converted_list);
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
        if (record_descent(*frame.walk, v.converted_list, path) < 0)
            return frame.fail();
        // setattr(net, member, optimize_module(getattr(net, member), depth + 1, sub_name, converted_list))
        if (descend_into(frame, net, member, read_member, depth, path, v.converted_list) < 0)
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
    Variables v;
    v.converted_list = Ref::newref(args[3]);

    // all_members = net.__dir__()
    v.all_members = call_method(net, S.dunder_dir);
    if (!v.all_members) return frame.fail();

    // if issubclass(type(net), nn.Sequential) or issubclass(type(net), nn.ModuleList):
    int container = is_container(frame, net);
    if (container < 0) return frame.fail();
    if (container) {
        // for submodule_id, layer in net.named_children(): ...
        Ref item;
        if (for_each(frame, call_method(net, S.named_children), item, [&] {
                return visit_child(frame, net, depth, name_so_far, v, item);
            }) < 0)
            return frame.propagate();
    } else {
        // for member in all_members: ...
        if (for_each(frame, Ref::newref(v.all_members.get()), v.member(), [&] {
                return visit_member(frame, net, depth, name_so_far, v);
            }) < 0)
            return frame.propagate();
    }
    // return net
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
    Ref result;
    {
        // Handed to this module's own walk alone, the new list stays out of sight.
        WalkScope walk(converted_list, is_native_function(optimize, optimize_module_def)
                                           ? WalkScope::Reach::walk_only
                                           : WalkScope::Reach::shared);
        result = call_optimize(walk, optimize, net, S.int_0, S.empty, converted_list);
    }
    // The call drops its arguments, the new list among them, then the function.
    converted_list = Ref();
    optimize = Ref();
    if (!result) return frame.fail();
    return result;
}

}  // namespace

}  // namespace vtx
