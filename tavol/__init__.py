"""tavol: a toolkit for speech-enhancement research.

Native extension modules:
    tavol.core.io         gather, load, save and copy WAV files
    tavol.core.synth      mix clean speech with noise at chosen SNRs
    tavol.core.evaluator  PESQ / STOI / SDR tables
    tavol.core.buffer     bounded frame buffer shared between threads
    tavol.util.check      audio input device probing
    tavol.util.visual     waveform, spectrogram and feature figures
    tavol.util.conv       Excel export and case helpers
    tavol.util.others     duplicate finder
"""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("tavol")
except PackageNotFoundError:  # running from a source tree without metadata
    __version__ = "0+unknown"
