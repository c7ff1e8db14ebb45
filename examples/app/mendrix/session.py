"""What Mendrix records about a session: how it was started and what it was asked."""
import collections
import json
import sys
import textwrap


class SessionReport:
    def __init__(self, argv):
        self.program = argv[0] if argv else ""
        self.arguments = list(argv[1:])

    def facts(self):
        return {
            "program": self.program,
            "arguments": self.arguments,
            "executable": sys.executable,
            "frozen": bool(getattr(sys, "frozen", False)),
            "python": "%d.%d.%d" % sys.version_info[:3],
            "path": list(sys.path),
        }

    def to_json(self):
        return json.dumps(self.facts(), sort_keys=True, ensure_ascii=False)

    def word_counts(self):
        return collections.Counter(word.lower() for argument in self.arguments
                                   for word in argument.split())

    def summary_lines(self, width=72):
        counts = self.word_counts()
        if not counts:
            return ["session: started without arguments"]
        common = ", ".join("%s (%d)" % item for item in counts.most_common(5))
        text = "session: %d argument(s), %d distinct word(s); most common: %s" % (
            len(self.arguments), len(counts), common)
        return textwrap.wrap(text, width=width, subsequent_indent="  ")
