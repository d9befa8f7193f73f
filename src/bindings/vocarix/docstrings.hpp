// Docstrings of the Vocarix class. Each starts with the text signature that
// CPython exposes as __text_signature__, separated from the doc by "--".
#pragma once

namespace vocarix::python::docs {

inline constexpr const char* kClass = "Vocarix(path)\n--\n\nPython wrapper for Vocarix";

inline constexpr const char* kFromJson =
    "from_json(json_str)\n--\n\n"
    "Create a new editor from JSON string\n\nArgs:\n    json_str: JSON string containing the tokenizer\n\n"
    "Returns:\n    Vocarix instance";
inline constexpr const char* kSave =
    "save($self, path)\n--\n\n"
    "Save the tokenizer to a JSON file\n\nArgs:\n    path: Output path for the tokenizer.json file";
inline constexpr const char* kToJson =
    "to_json($self)\n--\n\n"
    "Export tokenizer to JSON string\n\nReturns:\n    JSON string representation of the tokenizer";
inline constexpr const char* kVocabSize = "Get the current vocabulary size";
inline constexpr const char* kMergesCount = "Get the current number of merges";
inline constexpr const char* kHasToken =
    "has_token($self, token)\n--\n\n"
    "Check if a token exists in the vocabulary\n\nArgs:\n    token: Token string to check\n\n"
    "Returns:\n    True if token exists, False otherwise";
inline constexpr const char* kGetTokenId =
    "get_token_id($self, token)\n--\n\n"
    "Get the ID of a token\n\nArgs:\n    token: Token string\n\nReturns:\n    Token ID or None if not found";
inline constexpr const char* kGetTokenById =
    "get_token_by_id($self, id)\n--\n\n"
    "Get a token by its ID\n\nArgs:\n    id: Token ID\n\nReturns:\n    Token string or None if not found";
inline constexpr const char* kGetVocab =
    "get_vocab($self)\n--\n\n"
    "Get all tokens in the vocabulary\n\nReturns:\n    Dictionary mapping token strings to their IDs";
inline constexpr const char* kGetMerges =
    "get_merges($self)\n--\n\n"
    "Get all merges as list of tuples\n\nReturns:\n    List of (token_a, token_b) merge pairs";
inline constexpr const char* kGetStats =
    "get_stats($self)\n--\n\n"
    "Get comprehensive tokenizer statistics\n\nReturns:\n    TokenizerStats object with detailed statistics";
inline constexpr const char* kValidateMerges =
    "validate_merges($self)\n--\n\n"
    "Validate all merges - check that each merge result exists in vocabulary\n\n"
    "Returns:\n    ValidationResult with valid/invalid merge counts and details";
inline constexpr const char* kRemoveInvalidMerges =
    "remove_invalid_merges($self)\n--\n\n"
    "Remove all invalid merges from the tokenizer\n\nReturns:\n    Number of invalid merges removed";
inline constexpr const char* kAddToken =
    "add_token($self, token)\n--\n\n"
    "Add a token with proper merge chain creation\n\n"
    "This method intelligently adds a token using one of these strategies:\n"
    "- Single character: Added directly to vocab\n"
    "- Longest prefix: If a prefix exists, adds prefix + suffix -> token merge\n"
    "- Character chain: Builds merge chain a+b->ab, ab+c->abc, etc.\n\n"
    "Args:\n    token: Token string to add\n\n"
    "Returns:\n    AdditionResult with details about how the token was added";
inline constexpr const char* kAddTokens =
    "add_tokens($self, tokens)\n--\n\n"
    "Add multiple tokens\n\nArgs:\n    tokens: List of token strings to add\n\n"
    "Returns:\n    List of AdditionResult for each token";
inline constexpr const char* kAddTokenAtomic =
    "add_token_atomic($self, token)\n--\n\n"
    "Add a token without creating merge chains (for special tokens)\n\nArgs:\n    token: Token string to add\n\n"
    "Returns:\n    True if token was added, False if it already existed";
inline constexpr const char* kRemoveToken =
    "remove_token($self, token)\n--\n\n"
    "Remove a token and all its dependencies\n\n"
    "This performs cascade removal:\n"
    "- Removes all merges that use this token as input\n"
    "- Removes all merges that produce this token\n"
    "- Removes all tokens that can only be produced by removed merges\n\n"
    "Args:\n    token: Token string to remove\n\n"
    "Returns:\n    RemovalResult with details about what was removed";
inline constexpr const char* kRemoveTokens =
    "remove_tokens($self, tokens)\n--\n\n"
    "Remove multiple tokens\n\nArgs:\n    tokens: List of token strings to remove\n\n"
    "Returns:\n    List of RemovalResult for each token";
inline constexpr const char* kShrink =
    "shrink($self, count, min_id=0)\n--\n\n"
    "Shrink vocabulary by removing N longest non-special tokens\n\n"
    "Selection criteria (in order):\n"
    "- Longest tokens first (by character count)\n"
    "- Highest token IDs first (among same length)\n"
    "- Never removes single-character tokens\n"
    "- Never removes special tokens (<...> or [...])\n\n"
    "Args:\n    count: Number of tokens to remove\n"
    "    min_id: Only consider tokens with ID >= min_id (default: 0)\n\n"
    "Returns:\n    ShrinkResult with details about the shrink operation";
inline constexpr const char* kFindTokensToShrink =
    "find_tokens_to_shrink($self, count, min_id=0)\n--\n\n"
    "Find tokens that would be removed by shrink operation (preview)\n\n"
    "Args:\n    count: Number of tokens to find\n"
    "    min_id: Only consider tokens with ID >= min_id (default: 0)\n\n"
    "Returns:\n    List of (token, id, char_length) tuples";
inline constexpr const char* kGetSingleCharTokens =
    "get_single_char_tokens($self)\n--\n\n"
    "Get all single-character tokens\n\nReturns:\n    List of (token, id) tuples";
inline constexpr const char* kSyncSingleChars =
    "sync_single_chars($self, source_path, min_id=0)\n--\n\n"
    "Sync single-character tokens from another tokenizer\n\n"
    "Copies missing single-char tokens from source, removing longest\n"
    "tokens to maintain vocabulary size.\n\n"
    "Args:\n    source_path: Path to source tokenizer.json\n"
    "    min_id: Only remove tokens with ID >= min_id (default: 0)\n\n"
    "Returns:\n    Dictionary with sync operation details";
inline constexpr const char* kAddTokensKeepSize =
    "add_tokens_keep_size($self, tokens, whitelist=None)\n--\n\n"
    "Add tokens while keeping vocabulary size fixed\n\n"
    "Adds new tokens and automatically removes other tokens to maintain\n"
    "the original vocabulary size.\n\n"
    "Args:\n    tokens: List of tokens to add\n"
    "    whitelist: Optional list of tokens that should never be removed\n\n"
    "Returns:\n    Dictionary with operation details";
inline constexpr const char* kCheckVocabGaps =
    "check_vocab_gaps($self)\n--\n\n"
    "Check if vocabulary has gaps in its ID space\n\n"
    "Returns:\n    Tuple of (has_gaps, total_gaps, min_id, max_id)";
inline constexpr const char* kReindexVocab =
    "reindex_vocab($self)\n--\n\n"
    "Reindex vocabulary to make all IDs sequential\n\n"
    "This removes all gaps in the vocabulary IDs, creating a dense/compact\n"
    "ID space. Tokens that already have correct sequential IDs (starting from 0)\n"
    "are preserved - only tokens after the first gap are remapped.\n\n"
    "Note: Merges don't contain IDs, they reference token strings,\n"
    "so they don't need to be updated.\n\n"
    "Returns:\n    ReindexResult with details about the reindexing operation";

}  // namespace vocarix::python::docs
