// Declarations shared by the subsystems of vantorix.blockwise_vantorix:
// the constant table, the process-wide state, the function descriptors and
// the thin helpers that make each Python-level operation one visible call.
#pragma once

#include "vantorix/ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <utility>

namespace vtx {

// ---------------------------------------------------------------- constants

// Every name and literal the module uses, created once by the exec slot.
// Names (attributes, globals, parameters, keywords) are interned; literals
// are plain str objects. The table is never destroyed: it lives as long as
// the process, past interpreter finalisation.
struct Constants {
    // names
    Ref dunder_builtins, dunder_dir, dunder_init, dunder_module, dunder_qualname,
        dunder_orig_bases, dunder_prepare, dunder_mro_entries, dunder_spec,
        dunder_name, dunder_test, initializing, builtins, super_, print;
    Ref GVT, VT, UVT, nn, torch, pdb, np, string, copy, numpy, vantorix,
        globals_vantorix, modules_vantorix, utils_vantorix, torch_nn;
    Ref VTXLayer, unWrap_params, convert_to_vtx_layer_block, get_pretrained_vtx_attr,
        get_pretrained_vtx_var, optimize_module, blockwise_network;
    Ref Module, Sequential, ModuleList, ParameterList, named_children, get_submodule,
        pc, get_extra_verbose, get_module_names_to_not_save, get_vtx_forward_function,
        VTXNeuronModule;
    Ref dendrite_module, layers, processors, dendrite_values, this_output_dimensions,
        this_node_index, dendrites_to_dendrites, num_cycles, main_module, processor,
        dendrites_to_top, pre_d, post_d, post_n1, post_n2, pre, post;
    Ref layer_array, processor_array, node_index, view_tuple, skip_weights,
        internal_nonlinearity, register_buffer, tensor, zeros, append, parameters,
        wrapped;
    Ref self, net, depth, name_so_far, converted_list, pretrained_dendrite, member,
        submodule_id, model, p, layer_id, dim, all_members, layer, sub_name;
    // literals
    Ref msg_seq_sub_is_vtx, msg_self_pointer, msg_skipping_during_save,
        msg_sub_in_conversion_list, module_name, class_qualname, init_qualname,
        empty, dot, lbracket, rbracket, star, question;
    // other objects
    Ref int_0, int_1, int_minus_1, shape_1_1_1, torch_nn_parts, empty_tuple,
        empty_bytes, empty_str;
};

inline Constants& S = *new Constants;

// Builds the empty tuple, bytes and str (first) and the str and int
// constants (second). Return 0, or -1 with an exception set.
int create_empty_constants();
int create_str_and_int_constants();

// ------------------------------------------------------------ process state

// The seven native functions, in the order their code objects are built.
enum class Fn { init, unWrap_params, convert_to_vtx_layer_block, get_pretrained_vtx_attr,
                get_pretrained_vtx_var, optimize_module, blockwise_network, count };
constexpr int function_count = static_cast<int>(Fn::count);

struct ModuleState {
    Ref module;                      // the one module object of the process
    std::int64_t interpreter_id = -1;
    Ref builtins;                    // the builtins module
    Ref super_, print;               // captured at import, never looked up again
    Ref codes[function_count];
    Ref entry_codes;                 // (function name, line): code of its traceback entries
    Ref lazy_import_type;            // types.LazyImportType, where the interpreter has one
};

inline ModuleState& state = *new ModuleState;

// --------------------------------------------------------- failure sites

// Stands for "return failure" in both kinds of function: those returning a
// Ref (null) and those returning a status (-1).
struct Failed {
    operator Ref() const noexcept { return Ref(); }
    operator int() const noexcept { return -1; }
};

class WalkScope;

// Where a running native function stands, so that its traceback entry can
// name the failing statement. `fail()` records the caller's line.
struct Frame {
    PyObject* globals;  // the function's globals, kept alive by the function
    int line;
    // The walk this call belongs to, when the walk's own descent started it;
    // owned by the outermost call of that walk, which outlives this one.
    WalkScope* walk = nullptr;
    Failed fail(int failing_line = __builtin_LINE()) noexcept {
        line = failing_line;
        return Failed();
    }
    // Passes on a failure whose line a helper has already recorded.
    Failed propagate() const noexcept { return Failed(); }
};

// Adds a traceback entry for `function_name` at `line`, keeping the pending
// exception. Entries never fail: if one cannot be built, it is left out.
void add_traceback_entry(const char* function_name, int line);

// ------------------------------------------------------- native functions

constexpr int max_params = 8;
using Body = Ref (*)(Frame& frame, PyObject* const* args);

struct FunctionDef {
    Fn id;
    const char* name;            // co_name, and the name in binding messages
    Ref Constants::*name_slot;   // the same, as a str constant
    Ref Constants::*qualname_slot;
    const char* traceback_name;  // "vantorix.blockwise_vantorix." + qualname
    int nparams;
    Ref Constants::*varnames[10];  // parameters, then locals; null-terminated
    Body body;
    int first_line;
};

extern const FunctionDef vtx_layer_init_def, unWrap_params_def,
    convert_to_vtx_layer_block_def, get_pretrained_vtx_attr_def,
    get_pretrained_vtx_var_def, optimize_module_def, blockwise_network_def;
const FunctionDef& function_def(Fn id);

inline PyObject* param_name(const FunctionDef& def, int index) {
    return (S.*def.varnames[index]).get();
}

// Binds a call's arguments to the parameters of `def` in `bound`.
// Returns 0, or -1 with a TypeError (or a comparison's error) set.
int bind_arguments(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound);

// The type of the native function objects; readied by the exec slot.
int ready_function_type();
// A new function object for `def` with the given globals and code object.
Ref new_function(const FunctionDef& def, PyObject* globals, PyObject* code);
// Whether `callable` is one of this module's function objects made for `def`.
bool is_native_function(Handle callable, const FunctionDef& def);
// Calls such a function with its full list of positional arguments, as a
// call through Python would, except that the body runs within `walk` and
// the recursion guard counts the call once on every interpreter.
Ref call_native(Handle function, PyObject* const* args, WalkScope* walk);

// Builds the code object of each function into state.codes.
int create_code_objects();

// --------------------------------------------------------- import steps

// from vantorix import <companion> as <alias>
int import_from_package(Handle globals, Handle companion, Handle alias);
// import <full_name> [as <alias>]; dotted names bind the leaf module.
int import_module(Handle globals, Handle full_name, Handle alias);
// class VTXLayer(nn.Module): __init__ = <native function>
int create_vtx_layer_class(Frame& frame);

// ----------------------------------------------- Python-level operations

// Each helper is one Python operation: it returns a new reference (or 0/1
// for tests), or null/-1 with the exception set. None of them caches.

// The namespace of `module` (borrowed), or null with TypeError "<what> must
// be a module, not '<type>'" when it is some other object.
PyObject* module_namespace(Handle module, const char* what);
// How the builtins module is named in that message.
constexpr const char* builtins_entry = "sys.modules['builtins']";
// Finds the type of lazy import objects, where the interpreter has one.
// Return 0, or -1 with an exception set.
int find_lazy_import_type();
// A name among the builtins, else NameError.
Ref lookup_builtin(Handle name);
// global name: the module namespace, then the builtins, else NameError.
Ref lookup_global(const Frame& frame, Handle name);
// <global>.<name>, e.g. nn.Sequential: the global looked up, then read.
Ref global_attr(const Frame& frame, Handle global, Handle name);
Ref getattr(Handle object, Handle name);
// getattr(object, name, None): only AttributeError becomes None.
Ref getattr_or_none(Handle object, Handle name);
// object.a.b.c..., each read from the object the previous one returned.
Ref getattr_path(Handle object, std::initializer_list<Handle> names);
int setattr(Handle object, Handle name, Handle value);
int delattr(Handle object, Handle name);
Ref getitem(Handle object, Handle key);
Ref getitem_index(Handle object, Py_ssize_t index);
Ref call(Handle callable);
Ref call(Handle callable, Handle a);
Ref call(Handle callable, Handle a, Handle b);
Ref call(Handle callable, Handle a, Handle b, Handle c, Handle d);
Ref call(Handle callable, std::initializer_list<Handle> args);
Ref call_args(Handle callable, Handle args_tuple);
Ref call_method(Handle object, Handle name);
Ref call_method(Handle object, Handle name, Handle a);
int truth(Handle object);
int contains(Handle container, Handle item);
Ref compare(Handle left, Handle right, int op);
Ref add(Handle left, Handle right);
// left + middle + right, the additions made from the left.
Ref add(Handle left, Handle middle, Handle right);
Ref inplace_add(Handle left, Handle right);
Ref remainder(Handle left, Handle right);
Ref str_of(Handle object);
Ref int_of(Py_ssize_t value);
Ref new_list();
Ref list_of(Handle item);
int list_append(Handle list, Handle item);
Ref tuple_of(Handle iterable);
Ref iter(Handle iterable);
// iter(iterable) in the place of `iterable`, which is dropped once its
// iterator is made. Returns 0, or -1 (and `iterable` empty) on error.
int become_iterator(Ref& iterable);
// 1 and `item` rebound, 0 at the end of the iteration (`item` unchanged),
// -1 on error.
int next(Handle iterator, Ref& item);
// for <variable> in iterable: body(). The loop takes over `iterable`, the
// temporary that Python drops once its iterator is made, and binds each item
// to `variable`, which keeps the last one when the loop ends. The body
// returns 0 to go on, or -1 with its failure recorded in the frame; a
// failure of the iteration itself is recorded at the caller's line.
template <class Body>
int for_each(Frame& frame, Ref iterable, Ref& variable, Body body, int line = __builtin_LINE()) {
    if (!iterable) return frame.fail(line);
    Ref& iterator = iterable;
    if (become_iterator(iterator) < 0) return frame.fail(line);
    int more;
    while ((more = next(iterator, variable)) > 0) {
        if (body() < 0) return -1;
    }
    if (more < 0) return frame.fail(line);
    return 0;
}

// Unpacks `item` into exactly two values.
int unpack_pair(Handle item, Ref& first, Ref& second);
Py_ssize_t length(Handle object);
// type(object): `object` is a temporary, dropped once its type is taken.
Ref type_of(Ref object);
// issubclass(cls, base)
int is_subclass(Handle cls, Handle base);

}  // namespace vtx
