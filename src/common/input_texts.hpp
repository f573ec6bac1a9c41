#pragma once
// Texts of input rules that both a Python front (as ValueError) and the core (as an internal
// failure, for callers that skip the front) raise: written once, so the two cannot drift apart.

namespace orvane {

inline constexpr const char* kEmptyKeyEmbeddings = "Empty list of key_embeddings is not supported";
inline constexpr const char* kEmptyQueryEmbeddings =
    "Empty list of query_embeddings is not supported";
// Raised by the core alone; the front adds its note to it.
inline constexpr const char* kTooFewEmbeddings = "At least 2 embeddings are required";

}  // namespace orvane
