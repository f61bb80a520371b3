<?php
// Reports a multipart upload: each file part (its field, the client's file name as sent and
// as PHP keeps it, size, SHA-256 and upload error) and each form field, one line each, the
// bytes as they arrived.
header('Content-Type: text/plain');
foreach ($_FILES as $field => $f) {
  echo 'file=', $field, "\n";
  echo 'full_path=', $f['full_path'], "\n";
  echo 'name=', $f['name'], "\n";
  echo 'error=', $f['error'], "\n";
  echo 'size=', $f['size'], "\n";
  echo 'sha256=', $f['error'] === UPLOAD_ERR_OK ? hash_file('sha256', $f['tmp_name']) : '', "\n";
}
foreach ($_POST as $name => $value) {
  echo 'field=', $name, '=', $value, "\n";
}
echo 'lfile-length=', $_SERVER['HTTP_LFILE_LENGTH'] ?? '', "\n";
