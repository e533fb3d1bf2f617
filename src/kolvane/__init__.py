"""kolvane: complex baseband (IQ) signal processing as native extension modules.

Modules: wfm (synthesis), spectral (spectra), resample (rate conversion),
ddc (down-conversion), iqwriter / iqreader (capture files), telemetry (in-band probes and lossless
capture), clock (sample clock) and interrupt (process-wide interrupt state).
Import each one as ``from kolvane import wfm``.
"""

__version__ = "0.1.0"
