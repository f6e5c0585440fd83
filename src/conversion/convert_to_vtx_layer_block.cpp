// convert_to_vtx_layer_block: one neuron module in, one VTXLayer out. The
// block shares the neuron module's layers and processors; nothing is copied.
//
// Each attribute chain is read again from the neuron module every time it
// is used: the module may be changed by the code that the reads run.
#include "vantorix/blockwise.hpp"

namespace vtx {

namespace {

Ref convert_to_vtx_layer_block(Frame& frame, PyObject* const* args);

// pretrained_dendrite.dendrite_module.<name>
Ref dendrite_attr(Handle pretrained_dendrite, Handle name) {
    return getattr_path(pretrained_dendrite, {S.dendrite_module, name});
}

// pretrained_dendrite.dendrite_module.processors[layer_id]
Ref dendrite_processor(Handle pretrained_dendrite, Handle layer_id) {
    Ref processors = dendrite_attr(pretrained_dendrite, S.processors);
    if (!processors) return nullptr;
    return getitem(processors, layer_id);
}

// pretrained_dendrite.dendrite_module.dendrite_values[0].<name>: the list
// is dropped once indexed, the entry once read.
Ref dendrite_value_attr(Handle pretrained_dendrite, Handle name) {
    Ref values = dendrite_attr(pretrained_dendrite, S.dendrite_values);
    if (!values) return nullptr;
    Ref first = getitem(values, S.int_0);
    values = Ref();
    if (!first) return nullptr;
    return getattr(first, name);
}

// object.<target_name> = object.<source_name>, where `fetch` reads the
// object afresh for each side and the value is read before the target; the
// assignment drops the value, then the target.
template <class Fetch>
int rebind(Fetch fetch, Handle target_name, Handle source_name) {
    Ref source = fetch();
    if (!source) return -1;
    Ref value = getattr(source, source_name);
    source = Ref();
    if (!value) return -1;
    Ref target = fetch();
    if (!target) return -1;
    int result = setattr(target, target_name, value);
    value = Ref();
    target = Ref();
    return result;
}

// len(<object>): the object is dropped once measured.
Py_ssize_t length_of(Ref object) {
    if (!object) return -1;
    return length(object);
}

// <left> == <right>, and its truth: the comparison drops its operands (left
// first), and its answer is dropped once its truth is taken.
int equal_truth(Ref left, Ref right) {
    Ref equal = compare(left, right, Py_EQ);
    left = Ref();
    right = Ref();
    if (!equal) return -1;
    return truth(equal);
}

}  // namespace

const FunctionDef convert_to_vtx_layer_block_def = {
    Fn::convert_to_vtx_layer_block, "convert_to_vtx_layer_block",
    &Constants::convert_to_vtx_layer_block, &Constants::convert_to_vtx_layer_block,
    "vantorix.blockwise_vantorix.convert_to_vtx_layer_block", 1,
    {&Constants::pretrained_dendrite, &Constants::layer_array, &Constants::processor_array,
     &Constants::layer_id, &Constants::view_tuple, &Constants::dim, nullptr},
    convert_to_vtx_layer_block, __LINE__};

namespace {

// The function's variables beside its parameter. The loop counters stay
// bound past their loops, and the return drops all of them in the order of
// the code object's varnames.
struct Variables {
    Ref layer_array, processor_array, layer_id, view_tuple, dim;
    ~Variables() {
        layer_array = Ref();
        processor_array = Ref();
        layer_id = Ref();
        view_tuple = Ref();
        dim = Ref();
    }
};

Ref convert_to_vtx_layer_block(Frame& frame, PyObject* const* args) {
    PyObject* pretrained_dendrite = args[0];
    Variables v;

    // unWrap_params(pretrained_dendrite)
    {
        Ref unwrap = lookup_global(frame, S.unWrap_params);
        if (!unwrap) return frame.fail();
        if (!call(unwrap, pretrained_dendrite)) return frame.fail();
    }

    // layer_array = []; processor_array = []
    v.layer_array = new_list();
    if (!v.layer_array) return frame.fail();
    v.processor_array = new_list();
    if (!v.processor_array) return frame.fail();

    // for layer_id in range(len(pretrained_dendrite.dendrite_module.layers)):
    Py_ssize_t layer_count = length_of(dendrite_attr(pretrained_dendrite, S.layers));
    if (layer_count < 0) return frame.fail();
    for (Py_ssize_t index = 0; index < layer_count; ++index) {
        v.layer_id = int_of(index);
        if (!v.layer_id) return frame.fail();
        Handle layer_id = v.layer_id;

        // layer_array.append(pretrained_dendrite.dendrite_module.layers[layer_id])
        {
            Ref layers = dendrite_attr(pretrained_dendrite, S.layers);
            if (!layers) return frame.fail();
            Ref layer = getitem(layers, layer_id);
            layers = Ref();
            if (!layer) return frame.fail();
            if (list_append(v.layer_array, layer) < 0) return frame.fail();
        }

        // if pretrained_dendrite.dendrite_module.processors == []:
        //     processor_array.append(None); continue
        Ref processors = dendrite_attr(pretrained_dendrite, S.processors);
        if (!processors) return frame.fail();
        Ref empty = new_list();
        if (!empty) return frame.fail();
        int no_processors = equal_truth(std::move(processors), std::move(empty));
        if (no_processors < 0) return frame.fail();
        if (no_processors) {
            if (list_append(v.processor_array, Py_None) < 0) return frame.fail();
            continue;
        }

        // if pretrained_dendrite.dendrite_module.processors[layer_id] is not None:
        Ref entry = dendrite_processor(pretrained_dendrite, layer_id);
        if (!entry) return frame.fail();
        bool has_processor = !entry.is(Py_None);
        entry = Ref();
        if (has_processor) {
            auto entry_of = [&] { return dendrite_processor(pretrained_dendrite, layer_id); };
            // ...processors[layer_id].pre = ...processors[layer_id].pre_d
            if (rebind(entry_of, S.pre, S.pre_d) < 0) return frame.fail();
            // ...processors[layer_id].post = ...processors[layer_id].post_d
            if (rebind(entry_of, S.post, S.post_d) < 0) return frame.fail();
        }

        // processor_array.append(pretrained_dendrite.dendrite_module.processors[layer_id])
        entry = dendrite_processor(pretrained_dendrite, layer_id);
        if (!entry) return frame.fail();
        if (list_append(v.processor_array, entry) < 0) return frame.fail();
    }

    // layer_array.append(pretrained_dendrite.main_module)
    Ref main_module = getattr(pretrained_dendrite, S.main_module);
    if (!main_module) return frame.fail();
    if (list_append(v.layer_array, main_module) < 0) return frame.fail();
    main_module = Ref();

    // if pretrained_dendrite.processor is not None:
    auto processor_of = [&] { return getattr(pretrained_dendrite, S.processor); };
    Ref processor = processor_of();
    if (!processor) return frame.fail();
    bool has_main_processor = !processor.is(Py_None);
    processor = Ref();
    if (has_main_processor) {
        // pretrained_dendrite.processor.pre = pretrained_dendrite.processor.post_n1
        if (rebind(processor_of, S.pre, S.post_n1) < 0) return frame.fail();
        // pretrained_dendrite.processor.post = pretrained_dendrite.processor.post_n2
        if (rebind(processor_of, S.post, S.post_n2) < 0) return frame.fail();
    }

    // processor_array.append(pretrained_dendrite.processor)
    processor = processor_of();
    if (!processor) return frame.fail();
    if (list_append(v.processor_array, processor) < 0) return frame.fail();
    processor = Ref();

    // view_tuple = []
    // for dim in range(len(pretrained_dendrite.dendrite_module.dendrite_values[0].this_output_dimensions)):
    v.view_tuple = new_list();
    if (!v.view_tuple) return frame.fail();
    Py_ssize_t dimension_count =
        length_of(dendrite_value_attr(pretrained_dendrite, S.this_output_dimensions));
    if (dimension_count < 0) return frame.fail();
    for (Py_ssize_t index = 0; index < dimension_count; ++index) {
        v.dim = int_of(index);
        if (!v.dim) return frame.fail();
        // if dim == pretrained_dendrite.dendrite_module.dendrite_values[0].this_node_index:
        //     view_tuple.append(-1)
        // else: view_tuple.append(1)
        Ref node_index = dendrite_value_attr(pretrained_dendrite, S.this_node_index);
        if (!node_index) return frame.fail();
        int is_node = equal_truth(Ref::newref(v.dim.get()), std::move(node_index));
        if (is_node < 0) return frame.fail();
        if (list_append(v.view_tuple, is_node ? S.int_minus_1 : S.int_1) < 0) return frame.fail();
    }

    // return VTXLayer(nn.Sequential(*layer_array), processor_array,
    //                 pretrained_dendrite.dendrites_to_top,
    //                 pretrained_dendrite.dendrite_module.dendrites_to_dendrites,
    //                 pretrained_dendrite.this_node_index,
    //                 pretrained_dendrite.dendrite_module.num_cycles, view_tuple)
    Ref vtx_layer = lookup_global(frame, S.VTXLayer);
    if (!vtx_layer) return frame.fail();
    Ref sequential;
    {
        Ref sequential_class = global_attr(frame, S.nn, S.Sequential);
        if (!sequential_class) return frame.fail();
        Ref layer_tuple = tuple_of(v.layer_array);
        if (!layer_tuple) return frame.fail();
        sequential = call_args(sequential_class, layer_tuple);
        // The call drops the class, then the tuple of its arguments.
        sequential_class = Ref();
        layer_tuple = Ref();
        if (!sequential) return frame.fail();
    }
    Ref dendrites_to_top = getattr(pretrained_dendrite, S.dendrites_to_top);
    if (!dendrites_to_top) return frame.fail();
    Ref dendrites_to_dendrites = dendrite_attr(pretrained_dendrite, S.dendrites_to_dendrites);
    if (!dendrites_to_dendrites) return frame.fail();
    Ref node_index = getattr(pretrained_dendrite, S.this_node_index);
    if (!node_index) return frame.fail();
    Ref num_cycles = dendrite_attr(pretrained_dendrite, S.num_cycles);
    if (!num_cycles) return frame.fail();

    Ref block = call(vtx_layer, {sequential, v.processor_array, dendrites_to_top,
                                 dendrites_to_dendrites, node_index, num_cycles, v.view_tuple});
    // The call drops the class, then its arguments in their order.
    vtx_layer = Ref();
    sequential = Ref();
    dendrites_to_top = Ref();
    dendrites_to_dendrites = Ref();
    node_index = Ref();
    num_cycles = Ref();
    if (!block) return frame.fail();
    return block;
}

}  // namespace

}  // namespace vtx
