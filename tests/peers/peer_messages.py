"""The messages of the peer scripts, given as JSON on the command line:
[{"text": "..."} | {"repeat": "abc", "size": 70000}, ...]."""
import json


def messages(argument):
    def expand(message):
        if "text" in message:
            return message["text"]
        repeat = message["repeat"]
        return (repeat * (message["size"] // len(repeat) + 1))[:message["size"]]
    return [expand(message) for message in json.loads(argument)]
