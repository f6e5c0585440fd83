// Reads from a pretrained dendrite object that may be absent: None in,
// None out.
#include "vantorix/blockwise.hpp"

namespace vtx {

namespace {
Ref get_pretrained_vtx_attr(Frame& frame, PyObject* const* args);
Ref get_pretrained_vtx_var(Frame& frame, PyObject* const* args);
}  // namespace

const FunctionDef get_pretrained_vtx_attr_def = {
    Fn::get_pretrained_vtx_attr, "get_pretrained_vtx_attr",
    &Constants::get_pretrained_vtx_attr, &Constants::get_pretrained_vtx_attr,
    "vantorix.blockwise_vantorix.get_pretrained_vtx_attr", 2,
    {&Constants::pretrained_dendrite, &Constants::member, nullptr},
    get_pretrained_vtx_attr, __LINE__};

const FunctionDef get_pretrained_vtx_var_def = {
    Fn::get_pretrained_vtx_var, "get_pretrained_vtx_var",
    &Constants::get_pretrained_vtx_var, &Constants::get_pretrained_vtx_var,
    "vantorix.blockwise_vantorix.get_pretrained_vtx_var", 2,
    {&Constants::pretrained_dendrite, &Constants::submodule_id, nullptr},
    get_pretrained_vtx_var, __LINE__};

namespace {

Ref get_pretrained_vtx_attr(Frame& frame, PyObject* const* args) {
    PyObject* pretrained_dendrite = args[0];
    PyObject* member = args[1];
    // if pretrained_dendrite is None: return None
    if (pretrained_dendrite == Py_None) return Ref::newref(Py_None);
    // return getattr(pretrained_dendrite, member)
    Ref value = getattr(pretrained_dendrite, member);
    if (!value) return frame.fail();
    return value;
}

Ref get_pretrained_vtx_var(Frame& frame, PyObject* const* args) {
    PyObject* pretrained_dendrite = args[0];
    PyObject* submodule_id = args[1];
    // if pretrained_dendrite is None: return None
    if (pretrained_dendrite == Py_None) return Ref::newref(Py_None);
    // return pretrained_dendrite[submodule_id]
    Ref value = getitem(pretrained_dendrite, submodule_id);
    if (!value) return frame.fail();
    return value;
}

}  // namespace

}  // namespace vtx
