<?php
// Reports a raw upload read from php://input: its size and SHA-256, the query parameters as
// PHP decoded them, and the content type.
$hash = hash_init('sha256');
$size = 0;
$in = fopen('php://input', 'rb');
while (!feof($in)) {
  $chunk = fread($in, 1 << 16);
  if ($chunk === false) break;
  $size += strlen($chunk);
  hash_update($hash, $chunk);
}
header('Content-Type: text/plain');
echo 'size=', $size, "\n", 'sha256=', hash_final($hash), "\n";
foreach ($_GET as $name => $value) {
  echo 'get=', $name, '=', $value, "\n";
}
echo 'content-type=', $_SERVER['CONTENT_TYPE'] ?? '', "\n";
