"""The demo over HTTPS (--ssl-certfile/--ssl-keyfile) on granian (RSGI, ASGI)
and uvicorn, over HTTP/2 negotiated by ALPN on granian, and over cleartext
HTTP/2 (h2c, prior knowledge) on granian; a throwaway self-signed
certificate is made for the run."""

import datetime
import ipaddress
import ssl

import pytest

pytest.importorskip("granian")
pytest.importorskip("uvicorn")
httpx = pytest.importorskip("httpx")
pytest.importorskip("h2")
x509 = pytest.importorskip("cryptography.x509")

from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID  # noqa: E402

from _servers import SERVERS, start_demo  # noqa: E402

pytestmark = pytest.mark.timeout(60)

SAMPLE = bytes(range(256)) * 8
GRANIAN = sorted(name for name in SERVERS if name.startswith("granian"))


def self_signed(directory):
    """(certificate file, key file) for 127.0.0.1 and localhost, valid one day."""
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")])
    now = datetime.datetime.now(datetime.UTC)
    certificate = (
        x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5)).not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(x509.SubjectAlternativeName(
            [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False, key_encipherment=False,
                                     data_encipherment=False, key_agreement=False, key_cert_sign=False,
                                     crl_sign=False, encipher_only=False, decipher_only=False), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .sign(key, hashes.SHA256())
    )
    cert_file, key_file = directory / "cert.pem", directory / "key.pem"
    cert_file.write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    # granian reads PKCS#8 keys only.
    key_file.write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    return cert_file, key_file


@pytest.fixture(scope="module")
def tls(tmp_path_factory):
    base = tmp_path_factory.mktemp("tls")
    cert_file, key_file = self_signed(base)
    (base / "files").mkdir()
    (base / "files" / "sample.bin").write_bytes(SAMPLE)
    context = ssl.create_default_context(cafile=str(cert_file))
    return cert_file, key_file, base / "files", context


@pytest.fixture(scope="module", params=sorted(SERVERS))
def server(request, tls):
    cert_file, key_file, files, context = tls
    running = start_demo(request.param, files, ["--ssl-certfile", str(cert_file), "--ssl-keyfile", str(key_file)],
                         verify=context)
    request.addfinalizer(running.stop)
    return running


def drive(client, server):
    """A few routes over whatever protocol the client speaks."""
    hello = client.get("/")
    assert hello.status_code == 200 and hello.json() == {"message": "Hello, World!"}
    echo = client.post("/echo", json={"over": "tls", "n": [1, None]})
    assert echo.json() == {"over": "tls", "n": [1, None]}
    ranged = client.get("/files/sample.bin", headers={"range": "bytes=100-199"})
    assert ranged.status_code == 206 and ranged.content == SAMPLE[100:200]
    tag = client.get("/files/sample.bin").headers["etag"]
    assert client.get("/files/sample.bin", headers={"if-none-match": tag}).status_code == 304
    with client.stream("GET", "/events") as events:
        text = b"".join(events.iter_bytes()).decode()
    assert text.count("event: tick\n") == 5
    headers = client.get("/headers").json()
    assert headers["scheme"] == "https" and headers["host"] == f"127.0.0.1:{server.port}"
    assert client.delete("/").status_code == 405
    return hello.http_version


def test_https(server, tls):
    with httpx.Client(base_url=server.url, verify=tls[3], timeout=30) as client:
        assert drive(client, server) == "HTTP/1.1"


def test_http2_over_tls(server, tls):
    if server.name == "uvicorn":
        pytest.skip("uvicorn speaks HTTP/1.1 only")
    with httpx.Client(base_url=server.url, verify=tls[3], http2=True, timeout=30) as client:
        assert drive(client, server) == "HTTP/2"


def test_the_certificate_is_checked(server):
    with pytest.raises(httpx.ConnectError):
        httpx.get(server.url + "/", timeout=10)  # the system's roots do not know it


@pytest.fixture(scope="module", params=GRANIAN)
def cleartext(request, tls):
    running = start_demo(request.param, tls[2])
    request.addfinalizer(running.stop)
    return running


def test_h2c_prior_knowledge(cleartext):
    with httpx.Client(base_url=cleartext.url, http1=False, http2=True, timeout=30) as client:
        response = client.get("/files/sample.bin", headers={"range": "bytes=0-9"})
        assert response.http_version == "HTTP/2" and response.status_code == 206 and response.content == SAMPLE[:10]
        data = client.get("/headers").json()
        assert data["scheme"] == "http" and data["host"] == f"127.0.0.1:{cleartext.port}"


def test_head_over_http2_sends_no_body(cleartext):
    with httpx.Client(base_url=cleartext.url, http1=False, http2=True, timeout=30) as client:
        for path in ("/", "/files/sample.bin"):
            response = client.head(path)
            assert response.status_code == 200 and response.content == b""
