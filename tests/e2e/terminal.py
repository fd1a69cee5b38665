"""A small terminal: renders what Wine's console writes to a pseudo-terminal
into the screen a person would see, one colour per character."""

import re

# ANSI SGR codes as Wine writes them, back to console text attributes.
SGR_TO_ATTRIBUTE = {
    30: 0, 34: 1, 32: 2, 36: 3, 31: 4, 35: 5, 33: 6, 37: 7,
    90: 8, 94: 9, 92: 10, 96: 11, 91: 12, 95: 13, 93: 14, 97: 15,
}

DEFAULT = None  # the console's own colour before the program sets one

_ESCAPE = re.compile(rb"\x1b\](?P<osc>[^\x07]*)\x07|\x1b\[(?P<params>[?0-9;]*)(?P<final>[A-Za-z])")


class Screen:
    def __init__(self):
        self.lines = [[]]
        self.row = 0
        self.col = 0
        self.colour = DEFAULT
        self.title = None

    def _line(self):
        while len(self.lines) <= self.row:
            self.lines.append([])
        return self.lines[self.row]

    def _put(self, ch):
        line = self._line()
        while len(line) <= self.col:
            line.append((" ", DEFAULT))
        line[self.col] = (ch, self.colour)
        self.col += 1

    def _control(self, params, final):
        numbers = [int(p) for p in params.split(";") if p.isdigit()]
        if final == "m":
            for n in numbers or [0]:
                if n == 0 or n == 39:
                    self.colour = DEFAULT
                elif n in SGR_TO_ATTRIBUTE:
                    self.colour = SGR_TO_ATTRIBUTE[n]
        elif final == "K":
            del self._line()[self.col:]
        elif final == "C":
            self.col += numbers[0] if numbers else 1
        elif final == "H":
            self.row = (numbers[0] - 1) if numbers else 0
            self.col = (numbers[1] - 1) if len(numbers) > 1 else 0
        elif final == "J":
            if (numbers[0] if numbers else 0) == 2:
                self.lines, self.row, self.col = [[]], 0, 0
        # cursor visibility (?25h / ?25l) and the like change nothing visible

    def feed(self, data: bytes):
        pos = 0
        for m in _ESCAPE.finditer(data):
            self._text(data[pos:m.start()])
            if m.group("osc") is not None:
                osc = m.group("osc").decode("utf-8", "replace")
                if osc.startswith("0;") or osc.startswith("2;"):
                    self.title = osc[2:]
            else:
                self._control(m.group("params").decode(), m.group("final").decode())
            pos = m.end()
        self._text(data[pos:])

    def _text(self, chunk: bytes, newline_returns=False):
        for ch in chunk.decode("utf-8", "replace"):
            if ch == "\r":
                self.col = 0
            elif ch == "\n":
                if newline_returns:
                    self.col = 0
                self.row += 1
                self._line()
            elif ch == "\t":
                self.col = (self.col // 8 + 1) * 8  # the console's tab stops, every 8 columns
            elif ch >= " ":
                self._put(ch)

    def rows(self):
        """The screen as lines of (text, colours), trailing blanks cut."""
        result = []
        for line in self.lines:
            while line and line[-1][0] == " ":
                line = line[:-1]
            result.append(("".join(c for c, _ in line), [a for _, a in line]))
        while result and not result[-1][0]:
            result.pop()
        return result


def render_script(pieces):
    """The screen that a list of pieces (text, or an int colour change) gives."""
    screen = Screen()
    for piece in pieces:
        if isinstance(piece, int):
            screen.colour = piece
        else:
            screen._text(piece.encode(), newline_returns=True)  # a console's line end
    return screen.rows()
