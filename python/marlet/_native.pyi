from typing import Sequence

__all__: list[str]

def parse_marl(data: str) -> list[dict[str, str]]:
    """Parse Marlet-formatted text into a list of records (dict[str, str])."""

def parse_marl_via_hashmap(data: str) -> list[dict[str, str]]:
    """Parse Marlet-formatted text through the core's records, then convert."""

def parse_marl_compact(data: str) -> list[dict[str, str]]:
    """Parse `.marlc` (compact Marlet) text into a list of records (dict[str, str])."""

def write_marl_compact(records: Sequence[dict[str, str]]) -> str:
    """Serialize a list of records (dict[str, str]) into `.marlc` text."""
