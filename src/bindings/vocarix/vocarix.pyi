"""Python module for Vocarix"""

from typing import Sequence, SupportsIndex, TypedDict, final, type_check_only

__version__: str

# The classes are built by the binding layer, whose metaclass has no
# importable name; it adds nothing visible to typing.
@type_check_only
class _NativeType(type): ...

# Plain dicts returned by two bulk operations; the keys are fixed.
@type_check_only
class _KeepSizeResult(TypedDict):
    initial_vocab_size: int
    final_vocab_size: int
    tokens_requested: int
    tokens_added: int
    tokens_removed: int

@type_check_only
class _SyncResult(TypedDict):
    initial_vocab_size: int
    final_vocab_size: int
    chars_in_source: int
    chars_already_present: int
    chars_added_count: int
    total_tokens_removed: int
    total_merges_removed: int

class Vocarix(metaclass=_NativeType):
    """Python wrapper for Vocarix

    Loading a file that cannot be read or is not a BPE tokenizer raises OSError.
    """

    def __init__(self, path: str) -> None: ...
    @staticmethod
    def from_json(json_str: str) -> Vocarix:
        """Create a new editor from JSON string (ValueError if it is not a BPE tokenizer)."""

    def save(self, path: str) -> None:
        """Save the tokenizer to a JSON file (OSError on failure)."""

    def to_json(self) -> str:
        """Export tokenizer to JSON string"""

    @property
    def vocab_size(self) -> int:
        """Get the current vocabulary size"""

    @property
    def merges_count(self) -> int:
        """Get the current number of merges"""

    def has_token(self, token: str) -> bool:
        """Check if a token exists in the vocabulary"""

    def get_token_id(self, token: str) -> int | None:
        """Get the ID of a token"""

    def get_token_by_id(self, id: SupportsIndex) -> str | None:
        """Get a token by its ID (0 to 4294967295, OverflowError outside)."""

    def get_vocab(self) -> dict[str, int]:
        """Get all tokens in the vocabulary"""

    def get_merges(self) -> list[tuple[str, str]]:
        """Get all merges as list of tuples"""

    def get_stats(self) -> TokenizerStats:
        """Get comprehensive tokenizer statistics"""

    def validate_merges(self) -> ValidationResult:
        """Validate all merges - check that each merge result exists in vocabulary"""

    def remove_invalid_merges(self) -> int:
        """Remove all invalid merges from the tokenizer; returns how many were removed."""

    def add_token(self, token: str) -> AdditionResult:
        """Add a token with proper merge chain creation"""

    def add_tokens(self, tokens: Sequence[str]) -> list[AdditionResult]:
        """Add multiple tokens (a plain str is refused with TypeError)."""

    def add_token_atomic(self, token: str) -> bool:
        """Add a token without creating merge chains (for special tokens)"""

    def remove_token(self, token: str) -> RemovalResult:
        """Remove a token and all its dependencies"""

    def remove_tokens(self, tokens: Sequence[str]) -> list[RemovalResult]:
        """Remove multiple tokens (a plain str is refused with TypeError)."""

    def shrink(self, count: SupportsIndex, min_id: SupportsIndex = 0) -> ShrinkResult:
        """Shrink vocabulary by removing N longest non-special tokens"""

    def find_tokens_to_shrink(
        self, count: SupportsIndex, min_id: SupportsIndex = 0
    ) -> list[tuple[str, int, int]]:
        """Find tokens that would be removed by shrink operation (preview)

        Returns (token, id, char_length) tuples.
        """

    def get_single_char_tokens(self) -> list[tuple[str, int]]:
        """Get all single-character tokens as (token, id) tuples."""

    def sync_single_chars(self, source_path: str, min_id: SupportsIndex = 0) -> _SyncResult:
        """Sync single-character tokens from another tokenizer

        Progress is written to standard error (file descriptor 2).
        """

    def add_tokens_keep_size(
        self, tokens: Sequence[str], whitelist: Sequence[str] | None = None
    ) -> _KeepSizeResult:
        """Add tokens while keeping vocabulary size fixed"""

    def check_vocab_gaps(self) -> tuple[bool, int, int, int]:
        """Check if vocabulary has gaps in its ID space

        Returns (has_gaps, total_gaps, min_id, max_id).
        """

    def reindex_vocab(self) -> ReindexResult:
        """Reindex vocabulary to make all IDs sequential"""

# The result classes below are created only by the editor's methods: calling
# them raises TypeError. All attributes are read-only.

@final
class ValidationResult(metaclass=_NativeType):
    """Result of validating merges"""

    @property
    def valid_count(self) -> int: ...
    @property
    def invalid_count(self) -> int: ...
    @property
    def invalid_merges(self) -> list[tuple[int, str, str]]:
        """(position, left, right) for every invalid merge, by position."""

@final
class AdditionResult(metaclass=_NativeType):
    """Result of token addition"""

    @property
    def token(self) -> str: ...
    @property
    def added(self) -> bool: ...
    @property
    def method(self) -> str:
        """One of "already_exists", "single_char", "longest_prefix", "char_chain"."""

    @property
    def added_merges(self) -> list[tuple[str, str]]: ...

@final
class RemovalResult(metaclass=_NativeType):
    """Result of token removal"""

    @property
    def root_token(self) -> str: ...
    @property
    def removed_tokens(self) -> list[str]:
        """Every string of the cascade, the root included; unordered."""

    @property
    def removed_merges(self) -> list[tuple[str, str]]:
        """Every merge deleted; unordered."""

@final
class ShrinkResult(metaclass=_NativeType):
    """Result of shrink operation"""

    @property
    def initial_vocab_size(self) -> int: ...
    @property
    def initial_merges_count(self) -> int: ...
    @property
    def final_vocab_size(self) -> int: ...
    @property
    def final_merges_count(self) -> int: ...
    @property
    def tokens_removed_count(self) -> int: ...
    @property
    def total_tokens_removed(self) -> int: ...
    @property
    def total_merges_removed(self) -> int: ...

@final
class TokenizerStats(metaclass=_NativeType):
    """Tokenizer statistics"""

    @property
    def vocab_size(self) -> int: ...
    @property
    def merges_count(self) -> int: ...
    @property
    def single_char_count(self) -> int: ...
    @property
    def special_token_count(self) -> int: ...
    @property
    def min_token_id(self) -> int: ...
    @property
    def max_token_id(self) -> int: ...
    @property
    def length_distribution(self) -> list[tuple[int, int]]:
        """(character length, number of tokens) pairs, ascending by length."""

@final
class ReindexResult(metaclass=_NativeType):
    """Result of reindex operation"""

    @property
    def vocab_size(self) -> int: ...
    @property
    def merges_count(self) -> int: ...
    @property
    def old_min_id(self) -> int: ...
    @property
    def old_max_id(self) -> int: ...
    @property
    def new_min_id(self) -> int: ...
    @property
    def new_max_id(self) -> int: ...
    @property
    def ids_remapped(self) -> int: ...
    @property
    def gaps_removed(self) -> int: ...
