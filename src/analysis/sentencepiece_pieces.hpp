// The pieces a SentencePiece BPE model needs to encode text as the runtime
// encodes a tokenizer.json, worked out from the tokenizer and the model the
// folder had, or why no such model exists.
//
// The two apply BPE differently. The runtime joins, among the adjacent
// pairs that are listed merges, the one of lowest rank. SentencePiece joins,
// among all adjacent pairs whose joined text is a piece (any piece, not
// only along listed merges), the one whose piece has the highest score. So
// a model encodes as the runtime exactly when
//   - its pieces are the tokens, by id, without gaps, each once;
//   - every merge the runtime can use joins normal pieces into a normal
//     piece (merges that name an added token never fire: the runtime takes
//     added tokens out of the text before merging);
//   - the merges of each piece stand together in the list, and the pieces'
//     scores fall in the order of the list (one score per piece cannot rank
//     two merges of the same piece apart);
//   - no piece is one SentencePiece would join from two pieces that the
//     runtime leaves side by side: the runtime, given the piece's text
//     alone, must not end with two pieces that join into it. (Two pieces
//     can only ever meet side by side, whole, where the runtime ends with
//     them on their joined text alone: merges outside that text take
//     characters from its ends, and then the two pieces do not form.)
// Pieces the model had keep their score and kind; new merge results get
// scores below every piece, in merge order; new added tokens are control
// (special) or user-defined pieces.
#pragma once

#include <string>
#include <vector>

#include "formats/sentencepiece/model_proto.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

struct SentencePiecePlan {
    std::vector<formats::SentencePiece> pieces;  // by id; unchanged pieces keep their stored form
    // Empty when `pieces` encode as the tokenizer does; otherwise one line
    // saying why no SentencePiece model can, naming the tokens at fault.
    std::string impossible;
};

SentencePiecePlan sentencepiece_pieces(const EditorState& state, const formats::SentencePieceModel& previous);

// The first piece where a model's pieces differ from those it needs, as a
// phrase naming the id and the tokens ("id 3012 is '▁foo' in
// tokenizer.model, '▁bar' in tokenizer.json"); empty when none differs.
std::string first_piece_difference(const std::vector<formats::SentencePiece>& stored,
                                   const std::vector<formats::SentencePiece>& needed);

}  // namespace vocarix
