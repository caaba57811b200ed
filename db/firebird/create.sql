-- An empty host database for the Firebird engine: isql-fb -q -i db/firebird/create.sql
-- (edit the path and the password first).
CREATE DATABASE '/var/lib/dfe/host.fdb' USER 'SYSDBA' PASSWORD 'masterkey' DEFAULT CHARACTER SET UTF8;
