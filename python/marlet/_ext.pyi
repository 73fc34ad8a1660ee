from typing import Any, Callable, Iterable, List, Optional, Tuple, Union

_Buffer = Union[bytes, bytearray, memoryview, Any]

def dump(
    records: Iterable[Any],
    format: str,
    lossy: bool,
    write: Optional[Callable[[bytes], object]],
    count: Optional[int],
    loss_error: Optional[Callable[[int, Optional[str], str], BaseException]],
) -> Any: ...
def load_binary(data: _Buffer, error: Callable[[str, int], BaseException]) -> List[Any]: ...
def load_json(text: str, error: Callable[[str, str, int, Optional[int]], BaseException], skip: Optional[int]) -> List[Any]: ...
def check(data: _Buffer, marl: bool, limit: int) -> List[Tuple[int, int, int, str, Optional[str]]]: ...
def utf8_error(data: _Buffer) -> Optional[int]: ...
def load_marlc(text: Union[str, _Buffer]) -> List[Any]: ...
def reader_type() -> Any: ...
def convert(
    source: Any,
    destination: Any,
    from_format: str,
    to_format: str,
    jobs: int,
    chunk_size: int,
    lossy: bool,
    final_newline: bool,
    progress: Optional[Callable[[int], object]],
    appends: bool,
) -> int: ...
