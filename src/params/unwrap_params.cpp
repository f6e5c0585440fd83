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
    names = Ref();  // `in` drops its operands as it answers
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
    // The loop variable keeps its last item until the call returns.
    Ref p;

    // for p in model.parameters():
    Ref parameters = call_method(model, S.parameters);
    if (!parameters) return frame.fail();
    PyObject* sequence = parameters.get();
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        // Walked by index, as the interpreter's iterator walks it; the length
        // is read again before every element because the loop body may
        // shrink the list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i) {
            p = Ref::newref(PySequence_Fast_GET_ITEM(sequence, i));
            if (unwrap_one(p) < 0) return frame.fail();
        }
        parameters = Ref();  // the end of the loop drops its iterator
    } else if (for_each(frame, std::move(parameters), p, [&]() -> int {
                   if (unwrap_one(p) < 0) return frame.fail();
                   return 0;
               }) < 0) {
        return frame.propagate();
    }
    // return None: the frame drops p
    p = Ref();
    return Ref::newref(Py_None);
}

}  // namespace

}  // namespace vtx
