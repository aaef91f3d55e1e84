"""The tests' and benches' one model of the block format and of the three
conversions, written from the format itself and independent of the program's
sources (a build's settings header is read as data):

- layout: the settings of a build (header and ender texts, line format, bytes
  per value) and the format's fixed geometry;
- blocks: builders of header, ender, event and raw blocks and of records;
- walk: the -b2rb dump and the -b2t listing of a block file, with messages;
- lines: a text input as the program reads it, each line scanned by the C
  library's own sscanf;
- t2b: the -t2b output of a text input, and a checker of -t2b files;
- messages: the program's fixed texts.
"""

from .layout import *  # noqa: F401,F403
from .messages import *  # noqa: F401,F403
from .blocks import *  # noqa: F401,F403
from .walk import *  # noqa: F401,F403
from .lines import *  # noqa: F401,F403
from .t2b import *  # noqa: F401,F403
