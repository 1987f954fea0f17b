import tarnix_xray


def test_version_command():
    x = tarnix_xray.Xray("")
    assert x.command('{"cmd":"version"}') == '{"version":"0.2.0"}'
    assert tarnix_xray.__version__ == "0.2.0"
