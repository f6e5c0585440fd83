// Code objects of the native functions. They exist for introspection
// (signatures, names); the native functions never run them. A Python function
// built from one must still fail cleanly when called. Up to 3.10 an empty body
// does: the interpreter reads no valid instruction in it and raises
// SystemError, so the code objects keep an empty body, line table and stack.
// From 3.11 on an empty body is not safe to run, and every interpreter has
// bytecode of its own, so the body comes from a template that the running
// interpreter compiles at import: its bytecode, line table, exception table
// and stack size, under this module's own names, counts and flags.
#include "vantorix/blockwise.hpp"

#include <initializer_list>
#include <utility>

namespace vtx {

namespace {

constexpr int code_flags = CO_OPTIMIZED | CO_NEWLOCALS;

Ref varnames_tuple(const FunctionDef& def) {
    Py_ssize_t count = 0;
    while (count < 10 && def.varnames[count]) ++count;
    Ref varnames = Ref::steal(PyTuple_New(count));
    if (!varnames) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Ref::newref((S.*def.varnames[i]).get()).release());
    }
    return varnames;
}

// The template's body raises TypeError (list + dict) on every interpreter,
// with no constant, name or local of its own, so that it runs unchanged under
// other names and locals. It sits on the def line, so the line table puts it
// at the function's first line. A bare `raise` would leave an unreachable
// load of the constant None behind it before 3.10.
constexpr const char* template_source = "def template(): return [] + {}\n";

struct CodeBody {
    Ref bytecode;
    Ref line_table;
    Ref exception_table;
    int stacksize = 0;
};

// The first of the attributes `names` that the code object has; the empty
// bytes if it has none of them. Where a code object keeps its parts changes
// with the interpreter: the line table is co_linetable from 3.10 on and
// co_lnotab before, the exception table exists from 3.11 on.
Ref first_code_part(Handle code, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        Ref part = Ref::steal(PyObject_GetAttrString(code.get(), name));
        if (part || !PyErr_ExceptionMatches(PyExc_AttributeError)) return part;
        PyErr_Clear();
    }
    return Ref::newref(S.empty_bytes.get());
}

// The code object of the template function, found among the constants of
// the compiled template module.
Ref template_code() {
    Ref module_code = Ref::steal(Py_CompileString(template_source, "<template>", Py_file_input));
    if (!module_code) return nullptr;
    Ref consts = Ref::steal(PyObject_GetAttrString(module_code.get(), "co_consts"));
    if (!consts) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(item)) return Ref::newref(item);
    }
    PyErr_SetString(PyExc_SystemError, "the code template compiled to no function");
    return nullptr;
}

// The empty body: no bytecode, no line table, no exception table, no stack.
CodeBody empty_body() {
    CodeBody body;
    body.bytecode = Ref::newref(S.empty_bytes.get());
    body.line_table = Ref::newref(S.empty_bytes.get());
    body.exception_table = Ref::newref(S.empty_bytes.get());
    return body;
}

int read_template(CodeBody& body) {
    Ref code = template_code();
    if (!code) return -1;
    body.bytecode = Ref::steal(PyObject_GetAttrString(code.get(), "co_code"));
    if (!body.bytecode) return -1;
    body.line_table = first_code_part(code, {"co_linetable", "co_lnotab"});
    if (!body.line_table) return -1;
    body.exception_table = first_code_part(code, {"co_exceptiontable"});
    if (!body.exception_table) return -1;
    Ref stacksize = Ref::steal(PyObject_GetAttrString(code.get(), "co_stacksize"));
    if (!stacksize) return -1;
    body.stacksize = static_cast<int>(PyLong_AsLong(stacksize.get()));
    return PyErr_Occurred() ? -1 : 0;
}

Ref create_code(const FunctionDef& def, const CodeBody& body) {
    Ref varnames = varnames_tuple(def);
    if (!varnames) return nullptr;
    // One backslash here; traceback entries use two.
    Ref filename = Ref::steal(PyUnicode_FromString("vantorix\\blockwise_vantorix"));
    if (!filename) return nullptr;
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames.get()));
    PyCodeObject* code = compat::new_code(
        def.nparams, nlocals, body.stacksize, code_flags, body.bytecode.get(),
        S.empty_tuple.get(), varnames.get(), filename.get(), (S.*def.name_slot).get(),
        (S.*def.qualname_slot).get(), def.first_line, body.line_table.get(),
        body.exception_table.get());
    if (!code) return nullptr;
    compat::drop_implied_flags(code);
    return Ref::steal(reinterpret_cast<PyObject*>(code));
}

}  // namespace

const FunctionDef& function_def(Fn id) {
    switch (id) {
        case Fn::init: return vtx_layer_init_def;
        case Fn::unWrap_params: return unWrap_params_def;
        case Fn::convert_to_vtx_layer_block: return convert_to_vtx_layer_block_def;
        case Fn::get_pretrained_vtx_attr: return get_pretrained_vtx_attr_def;
        case Fn::get_pretrained_vtx_var: return get_pretrained_vtx_var_def;
        case Fn::optimize_module: return optimize_module_def;
        case Fn::blockwise_network: break;
        case Fn::count: break;
    }
    return blockwise_network_def;
}

int create_code_objects() {
    CodeBody body;
    if constexpr (compat::empty_code_body_is_safe) {
        body = empty_body();
    } else if (read_template(body) < 0) {
        return -1;
    }
    for (int i = 0; i < function_count; ++i) {
        Ref code = create_code(function_def(static_cast<Fn>(i)), body);
        if (!code) return -1;
        state.codes[i] = std::move(code);
    }
    return 0;
}

}  // namespace vtx
