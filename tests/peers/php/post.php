<?php
// Answers a download by POST with the form fields it received, one "name=value" line each,
// the bytes as they arrived, and announces the body's length in "LFile-Length".
$out = '';
foreach ($_POST as $name => $value) {
  $out .= $name . '=' . $value . "\n";
}
header('Content-Type: application/octet-stream');
header('LFile-Length: ' . strlen($out));
echo $out;
