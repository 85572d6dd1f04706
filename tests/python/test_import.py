import kettara
import tolvane


def test_modules_import():
    assert tolvane.__doc__ == "Tolvane module."
    assert kettara.__name__ == "kettara"
