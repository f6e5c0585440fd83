"""vantorix: dendrite-carrying neuron modules and their blockwise conversion.

The native module ``vantorix.blockwise_vantorix`` is imported on demand; this
package file deliberately does not import it, so the companion modules stay
usable without a built extension.
"""

__version__ = "0.1.0"
