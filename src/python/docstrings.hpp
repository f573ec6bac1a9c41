#pragma once
// The docstrings of the Python surface. The first lines ("name($self, ...)\n--\n\n") are the
// signatures that inspect.signature() reads; the texts are the module's own, kept as they are.

namespace orvane::py::docs {

// Similarity

inline constexpr char similarity_class[] =
    "Similarity(key_embeddings)\n--\n\n"
    "Python wrapper for the Similarity class.\n\n"
    "This class provides a Python interface to the native implementation of the "
    "similarity calculation.";

inline constexpr char calculate_similarity[] =
    "calculate_similarity($self, query_embeddings)\n--\n\n"
    "Calculates a similarity score for each key embedding based on its nearest neighbor in the\n"
    "query embeddings.\n\n# Arguments\n* `query_embeddings` - A vector of query embeddings.\n\n"
    "# Returns\nA list of f32 similarity scores, with one score per key embedding.";

// Typicality

inline constexpr char typicality_class[] =
    "Typicality(embeddings)\n--\n\n"
    "Python wrapper for the Typicality class.\n\n"
    "This class provides a Python interface to the native implementation of the\n"
    "typicality calculation.";

inline constexpr char calculate_typicality[] =
    "calculate_typicality($self, num_nearest_neighbors)\n--\n\n"
    "Calculate typicality for each embedding.\n\n# Arguments\n"
    "* `num_nearest_neighbors` - The number of nearest neighbors (K) to consider for typicality\n"
    "  calculation.\n\n# Returns\nA list of typicality scores, one for each embedding.";

// TwoDimEmbedding

inline constexpr char two_dim_embedding_class[] =
    "TwoDimEmbedding(embeddings)\n--\n\n"
    "Python wrapper for the TwoDimEmbedding class.\n\n"
    "This class provides a Python interface to the native implementation of the\n"
    "2D embedding calculation.";

inline constexpr char calculate_2d_embedding[] =
    "calculate_2d_embedding($self)\n--\n\n"
    "Calculate the 2D embedding for the embeddings.\n\n# Returns\n"
    "A list of 2D embeddings, one for each input embedding. Each 2D embedding is given as (x, y)\n"
    "coordinates.";

inline constexpr char extend_2d_embedding[] =
    "extend_2d_embedding($self, layout, new_embeddings)\n--\n\n"
    "Place new embeddings into an existing 2D embedding of this object's embeddings.\n\n"
    "`layout` is what calculate_2d_embedding() returned for them (a list of (x, y) or an N x 2\n"
    "array); `new_embeddings` are rows as the constructor takes them, of the same width. Each\n"
    "new point is placed from its nearest embeddings' places, then moved alone against the\n"
    "fixed layout under the layout's loss: its place depends on its own values only, whatever\n"
    "else is in the batch. Neither the object nor `layout` changes.\n\n# Returns\n"
    "A new list with one (x, y) tuple per new embedding.";

// Selection

inline constexpr char selection_class[] =
    "Selection()\n--\n\n"
    "Python wrapper for the Selection class.\n\n"
    "This class provides a Python interface to the native implementation of the\n"
    "sample selection algorithms.";

inline constexpr char add_weighting_strategy[] =
    "add_weighting_strategy($self, weights, strength)\n--\n\n"
    "Add a weighting strategy to the selection.\n\n# Arguments\n"
    "* `weights` - List of base weights for each sample\n"
    "* `strength` - Strength multiplier for this strategy";

inline constexpr char add_diversifying_strategy[] =
    "add_diversifying_strategy($self, embeddings, strength, "
    "stopping_condition_minimum_distance=None)\n--\n\n"
    "Add a diversifying strategy to the selection.\n\n# Arguments\n"
    "* `embeddings` - Vector of embeddings for all samples\n"
    "* `strength` - Strength multiplier for this strategy\n"
    "* `stopping_condition_minimum_distance` - When a sample would be closer than this to\n"
    "  already selected samples, selection stops. `None` disables the stopping condition.";

inline constexpr char add_balancing_strategy[] =
    "add_balancing_strategy($self, class_distributions, target, strength)\n--\n\n"
    "Add a balancing strategy to the selection.\n\n# Arguments\n"
    "* `class_distributions` - For each sample, a list of probabilities of it belonging to a "
    "class\n"
    "* `target` - Target distribution for the classes\n"
    "* `strength` - Strength multiplier for this strategy";

inline constexpr char add_subpart_diversifying_strategy[] =
    "add_subpart_diversifying_strategy($self, embeddings, sample_to_subpart_indices, strength, "
    "stopping_condition_minimum_distance=None)\n--\n\n"
    "Add a subpart diversifying strategy (object-level embeddings, sample-level selection).\n\n"
    "When ranking candidate samples, each sample's score is the *mean* diversity/distance of its\n"
    "objects, evaluating overall sample diversity. When a sample is selected (or preselected),\n"
    "all of its objects are informed into the underlying diversifying strategy, updating\n"
    "minimum distances to all objects contained in the selected sample.\n\n# Arguments\n"
    "* `embeddings` - Object-level embeddings\n"
    "* `sample_to_subpart_indices` - For each sample, indices of its objects\n"
    "* `strength` - Strength multiplier for this strategy\n"
    "* `stopping_condition_minimum_distance` - Optional minimum distance stopping condition";

inline constexpr char add_subpart_similarity_strategy[] =
    "add_subpart_similarity_strategy($self, key_embeddings, query_embeddings, "
    "sample_to_subpart_indices, strength)\n--\n\n"
    "Add a subpart similarity strategy (object-level embeddings, sample-level selection).\n\n"
    "When ranking candidate samples, each sample's score is the *maximum* similarity among its\n"
    "objects (favoring samples with at least one strong match without penalizing other objects).\n"
    "When a sample is selected (or preselected), all of its objects are informed into the\n"
    "underlying similarity strategy, accumulating their similarities into the selected state\n"
    "(this matches the earlier implementation and preserves the joint dynamics of several "
    "strategies).\n\n"
    "# Arguments\n"
    "* `key_embeddings` - Object-level candidate embeddings\n"
    "* `query_embeddings` - Embeddings to compare the candidate objects against\n"
    "* `sample_to_subpart_indices` - For each sample, indices of its objects\n"
    "* `strength` - Strength multiplier for this strategy";

inline constexpr char add_subpart_typicality_strategy[] =
    "add_subpart_typicality_strategy($self, embeddings, sample_to_subpart_indices, strength, "
    "num_nearest_neighbors, stopping_condition_minimum_typicality=None)\n--\n\n"
    "Select samples by mean object typicality. All objects of selected or preselected samples\n"
    "contribute to accumulated scores. Empty samples score zero and do not trigger stopping.\n"
    "`num_nearest_neighbors` excludes self, must be positive, and is capped at N - 1.\n"
    "Requires at least two equally sized embeddings and valid object indices in the mapping.\n"
    "`strength` multiplies the log potential when combining strategies. Selection stops if the\n"
    "chosen sample's mean typicality is below `stopping_condition_minimum_typicality`.";

inline constexpr char run_selection[] =
    "run_selection($self, preselected_indices, n_total_samples, n_samples_to_select)\n--\n\n"
    "Run the selection algorithm.\n\n# Arguments\n"
    "* `preselected_indices` - List of already selected sample indices\n"
    "* `n_total_samples` - Total number of samples available\n"
    "* `n_samples_to_select` - Total number of samples to return, including preselected "
    "samples\n\n"
    "# Returns\nA list of selected sample indices";

}  // namespace orvane::py::docs
