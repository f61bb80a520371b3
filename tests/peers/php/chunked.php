<?php
// Streams ?lines=N lines "0000000\n", "0000001\n", ... in flushed pieces with no length, so
// that nginx sends the reply with Transfer-Encoding: chunked.
header('Content-Type: text/plain');
$lines = (int)($_GET['lines'] ?? 100);
for ($i = 0; $i < $lines; $i++) {
  printf("%07d\n", $i);
  if ($i % 500 == 499) flush();
}
