import kettara
import tolvane


def test_modules_import():
    assert tolvane.__doc__ == "Tolvane module."
    assert kettara.__name__ == "kettara"


def test_the_gnuradio_blocks_import_gnuradio_only_when_used():
    import sys

    import quennel.gnuradio

    assert "gnuradio" not in sys.modules and "pmt" not in sys.modules
    assert set(quennel.gnuradio.__all__) == {"scene_source", "capture_source", "capture_sink"}
