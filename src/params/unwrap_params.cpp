// unWrap_params: strips the `wrapped` marker from a model's parameters.
#include "vantorix/blockwise.hpp"

namespace vtx {

namespace {

Ref unWrap_params(Frame& frame, PyObject* const* args);

// if "wrapped" in p.__dir__(): del p.wrapped
int unwrap_one(Handle p) {
    Ref names = call_method(p, S.dunder_dir);
    if (!names) return -1;
    int listed = contains(names, S.wrapped);
    if (listed <= 0) return listed;
    return delattr(p, S.wrapped);
}

}  // namespace

const FunctionDef unWrap_params_def = {
    Fn::unWrap_params, "unWrap_params", &Constants::unWrap_params, &Constants::unWrap_params,
    "vantorix.blockwise_vantorix.unWrap_params", 1,
    {&Constants::model, &Constants::p, nullptr},
    unWrap_params, __LINE__};

namespace {

Ref unWrap_params(Frame& frame, PyObject* const* args) {
    PyObject* model = args[0];

    // for p in model.parameters():
    Ref parameters = call_method(model, S.parameters);
    if (!parameters) return frame.fail();
    PyObject* sequence = parameters.get();
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        // Walked by index; the length is read again before every element
        // because the loop body may shrink the list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i) {
            Ref p = Ref::newref(PySequence_Fast_GET_ITEM(sequence, i));
            if (unwrap_one(p) < 0) return frame.fail();
        }
    } else if (for_each(frame, parameters, [&](Handle p) -> int {
                   if (unwrap_one(p) < 0) return frame.fail();
                   return 0;
               }) < 0) {
        return frame.propagate();
    }
    return Ref::newref(Py_None);
}

}  // namespace

}  // namespace vtx
